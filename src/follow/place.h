// Where the stream written so far stands in the daemon's log, kept across reconnections so that
// the next login resumes after the last byte written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/position.h"

namespace vantrel::follow {

struct StreamPlace {
  bool known = false;
  codec::Position base;     // the daemon's last word on where the stream stood
  std::uint64_t since = 0;  // log bytes written since
  std::string window;       // the last of them, up to codec::kCheckBytes
};

// The position after the last byte written: the daemon's own token when nothing was written
// since, else one that checks the bytes written since (at most codec::kCheckBytes of them).
codec::Position resume_position(const StreamPlace& place);

// Log bytes written: the place moves on past them.
void advance(StreamPlace& place, std::string_view bytes);

}  // namespace vantrel::follow
