// One connection to a daemon, from the login to its end: what comes is read into frames (by
// their lengths once the daemon grants them, else by reassembly) and their payloads go to the
// source's sink. The event loop that drives every source's session is follow_sources.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "follow/catch_up.h"
#include "follow/follow.h"
#include "follow/frame_assembly.h"
#include "follow/length_reader.h"
#include "follow/place.h"
#include "follow/sink.h"
#include "search/matcher.h"

struct ssl_st;

namespace vantrel::follow {

using Clock = std::chrono::steady_clock;

// kFinished: --grep without --follow wrote every match there is.
// kCertificateRefused: the daemon refused the viewer's certificate (viewer_cert), or asked for
// one it did not get; said.
enum class SessionEnd {
  kGone,
  kRefused,
  kLoginUnread,
  kOutputFailed,
  kFinished,
  kCertificateRefused
};

struct Session {
  int fd = -1;
  ssl_st* tls = nullptr;  // TLS over fd, or null
  const settings::Settings* settings = nullptr;
  Sink* output = nullptr;
  std::string label;            // before each message: "" with one source, else "NAME: "
  bool awaiting_reply = false;  // the login was sent and its answer has not come yet
  bool held_refusal = false;    // "WO!!" came where the answer may: it is one if the daemon closes
  bool key_confirmed = false;   // a padded frame or the login's answer read right under the key
  bool worked = false;          // a frame arrived: the next reconnection starts at the first delay
  Clock::time_point reply_deadline;
  std::optional<Clock::time_point> quiet_at;      // when held bytes are taken as whole frames
  std::optional<Clock::time_point> unread_since;  // bytes wait that no frame confirmed yet
  std::string login_text;         // "PASS password", to recognise it echoed back under another key
  std::string unconfirmed;        // payloads that wait for the key to be confirmed
  std::size_t reported_held = 0;  // bytes said to be held at the last quiet moment
  FrameAssembly assembly;
  // Once the daemon grants lengths, frames are read by them; until then, what came since the
  // login, so that the bytes after the answer can be read again that way.
  bool lengths = false;
  std::vector<std::uint8_t> since_login;
  LengthReader length_reader;
  bool timestamps = false;        // -t
  bool* at_line_start = nullptr;  // across connections: the next byte starts a line
  // Positions, asked for with every login: where to start when nothing is known yet (-n), and
  // the place kept across connections. Until the daemon says whether it grants them, the log
  // that came before the answer is held: a daemon that grants them sends it again from the
  // place asked for.
  std::optional<std::uint64_t> lines;
  StreamPlace* place = nullptr;
  bool holding = false;
  std::string held_log;
  // The whole log, where the daemon grants it: what is read of it before the live stream, which
  // is held meanwhile (in held_log too), and --grep's filter of the live stream after.
  bool whole = false;
  CatchUp catch_up;
  bool catching_up = false;
  std::optional<search::Matcher> live_filter;
  std::string partial_line;  // the live stream's line that has not ended yet, under the filter
};

// Logs in when the source has a password. How it ended where the login could not be sent.
std::optional<SessionEnd> start_session(Session& session);

// Receives and takes what came; a value when the session ends.
std::optional<SessionEnd> take_receive(Session& session, std::vector<std::uint8_t>& buffer);

// Acts on the deadlines that have passed; a value when the session ends.
std::optional<SessionEnd> take_deadlines(Session& session);

// The session's next deadline, if it has one.
std::optional<Clock::time_point> next_deadline(const Session& session);

}  // namespace vantrel::follow
