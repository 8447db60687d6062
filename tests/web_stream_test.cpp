// The browser viewer's stream: the ring of the last bytes, event ids as positions, resuming
// from an id, the gap when it fell out of the ring, and the bound on a slow browser.
#include "web/web_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vantrel::web {
namespace {

const std::uint8_t* bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

std::string base64_decoded(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<unsigned>(alphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// Reads events as a browser would: the log bytes they carry, the last id, and the gaps.
struct Browser {
  std::string log;
  std::string last_id;
  std::string gaps;
  void take(const std::string& events) {
    std::size_t at = 0;
    while (at < events.size()) {
      const std::size_t end = events.find("\n\n", at);
      const std::string event = events.substr(at, end - at);
      at = end + 2;
      const std::size_t id = event.find("id: ");
      const std::size_t data = event.find("data: ");
      if (id != std::string::npos) last_id = event.substr(id + 4, event.find('\n', id) - id - 4);
      if (event.starts_with("event: log")) log += base64_decoded(event.substr(data + 6));
      if (event.starts_with("event: gap")) gaps += event.substr(data + 6) + ";";
    }
  }
};

TEST(WebStream, EventsCarryTheStreamExactlyAndTheirIdsResumeWhereTheyStopped) {
  std::mt19937 random(7);
  StreamRing ring;
  ring.capacity = 1000;
  std::string all;
  Browser browser;
  std::uint64_t position = start_position(ring);
  bool unknown_gap = false;
  for (int round = 0; round < 200; ++round) {
    std::string chunk(random() % 40, '\0');
    for (char& c : chunk) c = static_cast<char>(random());  // any bytes at all
    append_to_ring(ring, bytes(chunk), chunk.size());
    all += chunk;
    if (round % 3 == 0) browser.take(next_events(ring, position, 1 + random() % 100));
    if (round % 50 == 49) {  // the browser reconnects with the last id it saw
      position = resume_position(ring, browser.last_id, unknown_gap);
    }
  }
  while (position < ring.end) browser.take(next_events(ring, position, 64));
  EXPECT_EQ(browser.log, all);
  EXPECT_EQ(browser.last_id, std::to_string(all.size()));
  EXPECT_EQ(browser.gaps, "");
  EXPECT_FALSE(unknown_gap);
}

codec::Notice notice_at(std::uint64_t inode, std::uint64_t offset,
                        codec::NoticeKind kind = codec::NoticeKind::kStart,
                        std::uint64_t skipped = 0) {
  return codec::Notice{kind, skipped, codec::Position{1, inode, offset, 0, 0}};
}

TEST(WebStream, WithTheDaemonsPositionsABrowserGoesOnAtTheSameByteFromAnotherViewer) {
  std::mt19937 random(8);
  // Two viewers of one daemon: one followed another file first, so their rings number the same
  // bytes differently; the daemon's stream jumps once, past 100 bytes it never sent.
  StreamRing rings[2];
  for (StreamRing& ring : rings) ring.capacity = 100000;
  place_ring(rings[1], notice_at(9, 0));
  append_to_ring(rings[1], bytes(std::string(77, 'o')), 77);
  for (StreamRing& ring : rings) place_ring(ring, notice_at(2, 0));
  std::string all;
  std::uint64_t offset = 0;
  std::size_t reading = 0;
  std::uint64_t position = start_position(rings[0]);
  Browser browser;
  for (int round = 0; round < 300; ++round) {
    std::string chunk(random() % 40, '\0');
    for (char& c : chunk) c = static_cast<char>(random());
    for (StreamRing& ring : rings) append_to_ring(ring, bytes(chunk), chunk.size());
    all += chunk;
    offset += chunk.size();
    if (round == 150) {
      offset += 100;
      for (StreamRing& ring : rings) {
        place_ring(ring, notice_at(2, offset, codec::NoticeKind::kLagBound, 100));
      }
    }
    if (round % 3 == 0) browser.take(next_events(rings[reading], position, 1 + random() % 100));
    if (round % 40 == 39) {  // the browser's viewer goes away: it reconnects to the other
      reading = 1 - reading;
      bool unknown_gap = true;
      position = resume_position(rings[reading], browser.last_id, unknown_gap);
      EXPECT_FALSE(unknown_gap) << "round " << round;
    }
  }
  while (position < rings[reading].end) browser.take(next_events(rings[reading], position, 64));
  EXPECT_EQ(browser.log, all);
  EXPECT_EQ(browser.gaps, "100;");
  EXPECT_EQ(browser.last_id, "1:2:" + std::to_string(offset));
  // An id from a file neither holds: a gap of unknown size, then what the ring holds.
  bool unknown_gap = false;
  position = resume_position(rings[0], "1:5:10", unknown_gap);
  EXPECT_TRUE(unknown_gap);
  EXPECT_EQ(position, 0u);
}

TEST(WebStream, ANewBrowserGetsTheRecentLinesAndAStaleOneAGapThenTheRest) {
  StreamRing ring;
  ring.capacity = 64;
  EXPECT_EQ(start_position(ring), 0u);
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += "line " + std::to_string(i) + "\n";
  append_to_ring(ring, bytes(lines), lines.size());
  EXPECT_EQ(ring_begin(ring), lines.size() - 64);
  // Afresh: from the first whole line the ring holds.
  std::uint64_t position = start_position(ring);
  Browser fresh;
  fresh.take(next_events(ring, position, 1000));
  EXPECT_EQ(fresh.log, lines.substr(lines.find("line 13\n")));
  // Resuming from an id the ring no longer holds: a gap of the bytes lost, then the rest.
  bool unknown_gap = false;
  position = resume_position(ring, "10", unknown_gap);
  Browser stale;
  stale.take(next_events(ring, position, 1000));
  EXPECT_EQ(stale.gaps, std::to_string(lines.size() - 64 - 10) + ";");
  EXPECT_EQ(stale.log, lines.substr(lines.size() - 64));
  // In a ring of whole lines (the merged one), the gap ends where a line starts.
  position = 10;
  Browser merged;
  merged.take(next_events(ring, position, 1000, true));
  EXPECT_EQ(merged.log, lines.substr(lines.find("line 13\n")));
  EXPECT_EQ(merged.gaps, std::to_string(lines.find("line 13\n") - 10) + ";");
  // A browser reading at `position` that the writer laps has fallen behind: it is closed.
  EXPECT_FALSE(has_fallen_behind(ring, position));
  append_to_ring(ring, bytes(lines), 65);
  EXPECT_TRUE(has_fallen_behind(ring, position));
  for (const char* junk : {"", "12x", "-1", "99999999999999999999"}) {
    EXPECT_FALSE(parse_event_id(junk)) << junk;
  }
  EXPECT_EQ(status_event(true, "a\"b", 3),
            "event: status\ndata: {\"connected\":true,\"file\":\"a\\\"b\",\"dropped\":3}\n\n");
}

}  // namespace
}  // namespace vantrel::web
