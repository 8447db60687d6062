// The browser viewer's stream: the ring of the last bytes, event ids as positions, resuming
// from an id, the gap when it fell out of the ring, and the bound on a slow browser.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "terminal/merged_output.h"
#include "web/events.h"
#include "web/merged_index.h"
#include "web/ring.h"

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
  std::vector<std::pair<std::string, std::string>> log_events;  // id, bytes
  void take(const std::string& events) {
    std::size_t at = 0;
    while (at < events.size()) {
      const std::size_t end = events.find("\n\n", at);
      const std::string event = events.substr(at, end - at);
      at = end + 2;
      const std::size_t id = event.find("id: ");
      const std::size_t data = event.find("data: ");
      if (id != std::string::npos) last_id = event.substr(id + 4, event.find('\n', id) - id - 4);
      if (event.starts_with("event: log")) {
        log_events.emplace_back(last_id, base64_decoded(event.substr(data + 6)));
        log += log_events.back().second;
      }
      if (event.starts_with("event: gap")) gaps += event.substr(data + 6) + ";";
    }
  }
};

TEST(WebStream, EventsCarryTheStreamExactlyAndTheirIdsResumeWhereTheyStopped) {
  std::mt19937 random(7);
  LogRing ring;
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
  // bytes differently; the daemon's stream jumps once, past 100 bytes it never sent, and its log
  // is rotated once.
  LogRing rings[2];
  for (LogRing& ring : rings) ring.capacity = 100000;
  place_ring(rings[1], notice_at(9, 0));
  append_to_ring(rings[1], bytes(std::string(77, 'o')), 77);
  for (LogRing& ring : rings) place_ring(ring, notice_at(2, 0));
  std::string all;
  std::map<std::uint64_t, std::string> files;  // by inode, the 100 bytes skipped included
  std::uint64_t inode = 2;
  std::uint64_t offset = 0;
  std::size_t reading = 0;
  std::uint64_t position = start_position(rings[0]);
  Browser browser;
  for (int round = 0; round < 300; ++round) {
    std::string chunk(random() % 40, '\0');
    for (char& c : chunk) c = static_cast<char>(random());
    for (LogRing& ring : rings) append_to_ring(ring, bytes(chunk), chunk.size());
    all += chunk;
    files[inode] += chunk;
    offset += chunk.size();
    if (round == 200) {  // the log is rotated between two reads, so that one read spans it
      inode = 3;
      offset = 0;
      for (LogRing& ring : rings) place_ring(ring, notice_at(inode, 0));
    }
    if (round == 150) {
      offset += 100;
      files[inode] += std::string(100, '-');
      for (LogRing& ring : rings) {
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
  EXPECT_EQ(browser.last_id, "1:3:" + std::to_string(offset));
  // Each event's id, less its size, is where its bytes lie in the daemon's log.
  for (const auto& [id, data] : browser.log_events) {
    const std::string& file = files[std::stoull(id.substr(2, id.rfind(':') - 2))];
    const std::uint64_t end = std::stoull(id.substr(id.rfind(':') + 1));
    EXPECT_EQ(file.substr(end - data.size(), data.size()), data) << id;
  }
  // An id from a file neither holds: a gap of unknown size, then what the ring holds.
  bool unknown_gap = false;
  position = resume_position(rings[0], "1:5:10", unknown_gap);
  EXPECT_TRUE(unknown_gap);
  EXPECT_EQ(position, 0u);
}

TEST(WebStream, ANewBrowserGetsTheRecentLinesAndAStaleOneAGapThenTheRest) {
  LogRing ring;
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

// Last-Event-ID is the browser's to send: a place that is not three numbers starts it after an
// unknown gap, as one of another file does, and never ends the viewer.
TEST(WebStream, AnIdThatIsNotAPlaceStartsAfterAnUnknownGap) {
  LogRing ring;
  const std::string log = "one\ntwo\n";
  append_to_ring(ring, bytes(log), log.size());
  ring.places.push_back({0, 1, 2, 100});
  bool unknown_gap = false;
  EXPECT_EQ(resume_position(ring, "1:2:104", unknown_gap), 4u);
  EXPECT_FALSE(unknown_gap);
  for (const char* junk : {"1:2", "1:", ":", "1:2:", "1::104", "1:2:104:4", "a:b:c", "1:2:-1"}) {
    unknown_gap = false;
    EXPECT_EQ(resume_position(ring, junk, unknown_gap), 0u) << junk;
    EXPECT_TRUE(unknown_gap) << junk;
  }
}

// A viewer following several sources, as the page's merged channel keeps them.
struct MergedViewer {
  LogRing ring;
  MergedIndex index;
  std::vector<follow::LineSplitter> splitters;
  std::vector<std::size_t> received;  // of each source's stream

  explicit MergedViewer(const std::vector<std::string>& names)
      : index(make_merged_index(names)), splitters(names.size()), received(names.size()) {
    ring.capacity = 40000;
  }
  void take(std::uint32_t source, std::string_view data) {
    follow::split_lines(splitters[source], data, {}, [&](std::string_view line, auto, bool ended) {
      append_merged_line(ring, index, source, line, ended);
    });
    received[source] += data.size();
  }
  // A half line that waited long enough goes in as it is.
  void take_waiting(std::uint32_t source) {
    if (splitters[source].partial.empty()) return;
    append_merged_line(ring, index, source, splitters[source].partial, false);
    splitters[source].partial.clear();
  }
  void place(std::uint32_t source, const codec::Notice& notice) {
    if (codec::is_gap(notice)) {
      take_waiting(source);
      append_merged_gap(ring, index, source, notice.skipped);
    }
    place_merged_source(index, source, received[source], notice);
  }
};

// What a browser of the merged channel shows of each source, newlines aside: a half line that
// waited is shown as a line of its own on one viewer and not on another.
std::vector<std::string> shown_per_source(const std::string& log, std::size_t sources) {
  std::vector<std::string> shown(sources);
  std::size_t source = 0;
  bool line_start = true;
  for (const char c : log) {
    if (line_start)
      source = static_cast<std::uint8_t>(c) - kMergedNumberBase;
    else if (c != '\n')
      shown.at(source) += c;
    line_start = c == '\n';
  }
  return shown;
}

TEST(MergedStream, ABrowserMovingBetweenViewersGetsEachSourceOnceWhateverOrderItsLinesCameIn) {
  const std::vector<std::string> names = {"alpha", "beta", "gamma"};
  for (const unsigned seed : {1u, 2u, 3u, 4u}) {
    std::mt19937 random(seed);
    // Each source's stream: lines of any bytes, source 1 skipping 5 bytes at `gap_at`.
    std::vector<std::string> streams(names.size());
    for (std::string& stream : streams) {
      while (stream.size() < 20000) {
        std::string line(random() % 60, '\0');
        for (char& c : line) c = static_cast<char>('!' + random() % 200);
        std::ranges::replace(line, '\n', 'n');
        stream += line + "\n";
      }
    }
    const std::size_t gap_at = 9000 + random() % 100;
    MergedViewer viewers[2] = {MergedViewer(names), MergedViewer(names)};
    for (MergedViewer& viewer : viewers) {
      for (std::uint32_t s = 0; s < names.size(); ++s) viewer.place(s, notice_at(10 + s, 0));
    }
    // Each viewer gets every source in chunks of its own, in an order of its own.
    const auto feed = [&](MergedViewer& viewer) {
      const auto s = static_cast<std::uint32_t>(random() % names.size());
      std::size_t& at = viewer.received[s];
      if (s == 1 && at == gap_at) {
        viewer.place(s, notice_at(21, 5, codec::NoticeKind::kRotated, 5));
        ++at;  // not a byte: the gap is passed
      }
      const std::size_t end = s == 1 && at < gap_at ? gap_at : streams[s].size() + (s == 1);
      const std::size_t size = std::min<std::size_t>(random() % 90, end - at);
      const std::size_t from = s == 1 && at > gap_at ? at - 1 : at;
      viewer.take(s, std::string_view(streams[s]).substr(from, size));
      at = from + size + (s == 1 && at > gap_at);
      if (random() % 20 == 0) viewer.take_waiting(s);
    };
    Browser browser;
    std::size_t reading = 0;
    std::uint64_t position = start_position(viewers[0].ring);
    SourcePositions seen;
    for (int round = 0; round < 4000; ++round) {
      for (MergedViewer& viewer : viewers) feed(viewer);
      if (round % 2 == 0) {
        ASSERT_FALSE(has_fallen_behind(viewers[reading].ring, position)) << seed;
        browser.take(next_merged_events(viewers[reading].index, viewers[reading].ring, position,
                                        seen, 1 + random() % 600));
      }
      if (round % 97 == 96) {  // its viewer goes away: it reconnects to the other
        reading = 1 - reading;
        // Viewers of one daemon are never a rotation apart for long.
        while (viewers[reading].received[1] <= gap_at && viewers[1 - reading].received[1] > gap_at)
          feed(viewers[reading]);
        MergedResume resume =
            resume_merged(viewers[reading].index, viewers[reading].ring, browser.last_id);
        browser.take(resume.gaps);
        position = resume.position;
        seen = std::move(resume.seen);
      }
    }
    for (int round = 0; round < 20000; ++round) feed(viewers[reading]);
    for (std::uint32_t s = 0; s < names.size(); ++s) viewers[reading].take_waiting(s);
    while (position < viewers[reading].ring.end) {
      browser.take(
          next_merged_events(viewers[reading].index, viewers[reading].ring, position, seen, 300));
    }
    const std::vector<std::string> shown = shown_per_source(browser.log, names.size());
    for (std::size_t s = 0; s < names.size(); ++s) {
      std::string expected = streams[s];
      std::erase(expected, '\n');
      const auto differ = std::ranges::mismatch(shown[s], expected);
      EXPECT_TRUE(shown[s] == expected)
          << "seed " << seed << ", " << names[s] << " differs at " << differ.in1 - shown[s].begin()
          << " of " << expected.size();
    }
    // The gap is told (once, or again where the browser moved on exactly at it), and no other.
    EXPECT_TRUE(browser.gaps.starts_with("5 beta;")) << browser.gaps;
    EXPECT_EQ(browser.gaps.find_first_not_of("5 beta;"), std::string::npos) << browser.gaps;
  }
}

}  // namespace
}  // namespace vantrel::web
