// The page's channels, internal to src/web: each stream browsers can follow (a source's, or
// the merged one), its ring and the events once made of it, and the state the connections to
// the daemons share with the server's thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "follow/lines.h"
#include "web/events.h"
#include "web/merged_index.h"
#include "web/metrics.h"
#include "web/ring.h"

namespace vantrel::web {

// Events as they are written to browsers, and how many they are, counted once as they are made.
struct EventText {
  std::string text;
  std::uint64_t count = 0;
};
inline std::shared_ptr<const EventText> event_text(std::string text) {
  const std::uint64_t count = events_in(text);
  return std::make_shared<const EventText>(EventText{std::move(text), count});
}

// browsers that stand at one position (all those caught up, or a crowd that came at once) share
// one encoding of it.
struct EncodedEvents {
  std::uint64_t end = 0;  // the position after them
  std::shared_ptr<const EventText> text;
};
// Encodings kept, shared out among the channels so that many channels cost no more in all.
inline constexpr std::size_t kEncodedKept = 256;
inline constexpr std::size_t kFewestEncodedKept = 8;

// A stream browsers can follow: its ring, and the events once made of it.
struct Channel {
  LogRing ring;
  std::map<std::uint64_t, EncodedEvents> encoded;  // the server's thread's alone
  std::size_t encoded_kept = kEncodedKept;
  std::unique_ptr<MergedIndex> index;  // the merged channel's: where its lines came from
};

// One source as the page knows it.
struct SourceState {
  Channel channel;
  SourceStatus status;
  follow::LineSplitter splitter;  // its unfinished line, not yet in the merged channel
};

// With several sources, each ring's share of the memory, within these bounds; the merged
// channel has a ring of its own.
inline constexpr std::size_t kSourceRingsBytes = std::size_t{32} << 20;
inline constexpr std::size_t kSmallestRing = std::size_t{256} << 10;
inline constexpr std::size_t kMergedRingBytes = std::size_t{8} << 20;

// With several sources, each channel's share: theirs and the merged one's.
inline std::size_t share_of_encodings(std::size_t sources) {
  return std::max(kEncodedKept / (sources + 1), kFewestEncodedKept);
}

// What the connections to the daemons and the server's thread share.
struct Shared {
  std::mutex lock;
  std::vector<std::unique_ptr<SourceState>> sources;
  Channel merged;                    // with several sources: all their lines in arrival order
  std::uint64_t status_version = 1;  // moves on with every change of a status
  std::uint64_t lines_told = 0;      // the line counts' sum in the last status
  RelayCounters counters;            // the server's thread's alone: no lock

  bool several() const { return sources.size() > 1; }

  std::string status_text() const {
    if (!several()) {
      const SourceStatus& status = sources[0]->status;
      // Nothing drops: a page that cannot keep up stops the reading instead.
      return status_event(status.connected, status.file, 0);
    }
    std::vector<SourceStatus> all(sources.size());
    std::ranges::transform(sources, all.begin(), [](const auto& state) { return state->status; });
    return sources_event(all);
  }

  void add_merged_line(std::size_t index, std::string_view line, bool ended) {
    append_merged_line(merged.ring, *merged.index, static_cast<std::uint32_t>(index), line, ended);
  }
};

}  // namespace vantrel::web
