#include "follow/session.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/frame.h"
#include "codec/login.h"
#include "follow/tls_client.h"

namespace vantrel::follow {

namespace {

// Bytes that no frame under the key has confirmed for this long: the key differs.
constexpr std::chrono::seconds kUnreadLimit{3};

// The login asks for lengths and positions: from the place kept across connections, else the
// last lines asked for, else where any new viewer starts.
std::string login_message(const Session& session) {
  codec::ResumeRequest request;
  const std::string& password = *session.settings->password;
  if (session.place != nullptr && session.place->known) {
    request.kind = codec::ResumeRequest::Kind::kAt;
    request.at = resume_position(*session.place);
  } else if (session.catch_up.goal != CatchUp::Goal::kNone) {
    // The history comes by its own requests: the live stream starts at the end.
    request.kind = codec::ResumeRequest::Kind::kBytes;
    request.lines = 0;
  } else if (session.lines) {
    request.kind = codec::ResumeRequest::Kind::kLines;
    request.lines = *session.lines;
  } else if (const auto bytes = session.output->first_bytes()) {
    request.kind = codec::ResumeRequest::Kind::kBytes;
    request.lines = *bytes;
  }
  return codec::login_request(password, request, true);
}

// The daemon ended a connection whose login it has not answered: over TLS, it may have refused
// this viewer's certificate, which says so. Otherwise says `what` failed and how.
SessionEnd failed_before_answer(const Session& session, const char* what, int error) {
  const std::string refusal = certificate_refusal(session.fd, session.tls);
  if (!refusal.empty()) {
    say(session.label,
        "the daemon refused this viewer's certificate (viewer_cert, viewer_key): %s; not "
        "retried: it would be refused again until they change\n",
        refusal.c_str());
    return SessionEnd::kCertificateRefused;
  }
  if (what != nullptr) say(session.label, "%s: %s\n", what, std::strerror(error));
  return SessionEnd::kGone;
}

std::optional<SessionEnd> send_login(Session& session, const settings::Settings& settings) {
  session.login_text = codec::login_text(*settings.password);
  const std::string login = login_message(session);
  std::vector<std::uint8_t> frame(codec::encoded_room(login.size()));
  std::memcpy(frame.data(), login.data(), login.size());
  const std::size_t length = codec::encode_frame(frame.data(), login.size(), settings.key);
  if (!send_all(session.fd, session.tls, frame.data(), length)) {
    return failed_before_answer(session, "send login", errno);
  }
  session.awaiting_reply = true;
  session.holding = true;
  session.reply_deadline = Clock::now() + std::chrono::seconds(kLoginReplySeconds);
  return std::nullopt;
}

std::string with_stamps(std::string_view bytes, bool& at_line_start) {
  const std::string stamp = arrival_stamp(std::chrono::system_clock::now());
  std::string stamped;
  for (const char byte : bytes) {
    if (at_line_start) stamped += stamp;
    stamped += byte;
    at_line_start = byte == '\n';
  }
  return stamped;
}

// No output drops what it is given: a full one stops the reading instead.
void push_out(Session& session, std::string_view bytes) {
  session.output->push(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Writes bytes of the log to the output, stamped where -t asks.
void emit(Session& session, std::string_view bytes) {
  if (bytes.empty()) return;
  std::string stamped;
  if (session.timestamps) {
    stamped = with_stamps(bytes, *session.at_line_start);
    bytes = stamped;
  }
  *session.at_line_start = bytes.back() == '\n';
  push_out(session, bytes);
}

// The whole lines of `bytes`, with the line begun before, that the filter matches; the line
// that has not ended waits for its end.
std::string matching_lines(Session& session, std::string_view bytes) {
  std::string& text = session.partial_line;
  text.append(bytes);
  const std::size_t whole = text.rfind('\n') + 1;  // 0 where no line has ended
  std::string matched;
  std::size_t at = 0;
  while (const auto line = search::next_matching_line(*session.live_filter, text, at, whole)) {
    matched.append(text, line->start, line->end - line->start);
    at = line->end;
  }
  text.erase(0, whole);
  return matched;
}

void write_out(Session& session, std::string_view bytes) {
  if (bytes.empty()) return;
  if (session.holding || session.catching_up) {
    session.held_log.append(bytes);
    return;
  }
  if (session.place != nullptr) advance(*session.place, bytes);
  if (!session.live_filter) return emit(session, bytes);
  const std::string matched = matching_lines(session, bytes);
  session.catch_up.have +=
      static_cast<std::uint64_t>(std::count(matched.begin(), matched.end(), '\n'));
  emit(session, matched);
}

// The log held since the login is written after all: the daemon grants no positions.
void release_held_log(Session& session) {
  if (!session.holding) return;
  session.holding = false;
  write_out(session, session.held_log);
  session.held_log.clear();
}

const char* gap_reason(codec::NoticeKind kind) {
  switch (kind) {
    case codec::NoticeKind::kRotated:
      return "the log was rotated";
    case codec::NoticeKind::kTruncated:
      return "the log was cut back or rewritten";
    case codec::NoticeKind::kLagBound:
      return "the daemon's lag bound";
    case codec::NoticeKind::kResumeBound:
      return "beyond the resume bound";
    case codec::NoticeKind::kReplaced:
      return "the log was rotated or replaced while away";
    case codec::NoticeKind::kUnreadable:
      return "the daemon could not read the position";
    case codec::NoticeKind::kStart:
    case codec::NoticeKind::kResumed:
      break;
  }
  return "";
}

bool send_request(Session& session, const codec::WholeRequest& request) {
  const std::string frame =
      codec::request_frame(codec::request_text(request), session.settings->key);
  if (send_all(session.fd, session.tls, frame.data(), frame.size())) return true;
  say(session.label, "send request: %s\n", std::strerror(errno));
  return false;
}

// The history is written: the live stream held meanwhile follows it, filtered under --grep.
void end_catch_up(Session& session) {
  session.catching_up = false;
  session.catch_up.running = false;
  session.catch_up.done = true;
  std::string held = std::move(session.held_log);
  session.held_log.clear();
  write_out(session, held);
}

// The first notice says where the live stream starts: the history before it is asked for.
void begin_catch_up(Session& session, const codec::Notice& notice) {
  CatchUp& catch_up = session.catch_up;
  if (catch_up.goal == CatchUp::Goal::kNone || catch_up.running || catch_up.done) return;
  if (!session.whole) {
    say(session.label, "the daemon does not serve the log's history; starting at its end\n");
    catch_up.trouble = true;
    return end_catch_up(session);
  }
  catch_up.live_start = notice.position;
  session.catching_up = true;
  if (!send_request(session, first_request(catch_up))) catch_up.trouble = true;
}

// Says a gap on standard error, and a resume that missed nothing, so that the one can be told
// from the other; a half line written before a gap is ended first, so that the bytes after the
// gap never run on from it.
void report_notice(Session& session, const codec::Notice& notice, const StreamPlace& place) {
  if (notice.kind == codec::NoticeKind::kResumed && place.known) {
    say(session.label, "resumed at byte %llu of the log: nothing missed\n",
        static_cast<unsigned long long>(notice.position.offset));
  }
  if (notice.kind == codec::NoticeKind::kRotated && place.known) {
    const std::uint64_t end = place.base.offset + place.since;
    say(session.label, "the log was rotated; its old file ended at byte %llu\n",
        static_cast<unsigned long long>(end));
  }
  if (!codec::is_gap(notice)) return;
  if (!*session.at_line_start) {
    push_out(session, "\n");
    *session.at_line_start = true;
  }
  if (notice.skipped == codec::kUnknownSkip) {
    say(session.label, "gap: unknown bytes (%s)\n", gap_reason(notice.kind));
  } else {
    say(session.label, "gap: %llu bytes (%s)\n", static_cast<unsigned long long>(notice.skipped),
        gap_reason(notice.kind));
  }
}

// The daemon grants positions: what came before the answer is sent again from the place asked.
void take_notice(Session& session, const codec::Notice& notice) {
  // The live stream jumped while its history was read: the history stops where it had come.
  if (session.catching_up) end_catch_up(session);
  session.holding = false;
  session.held_log.clear();
  // The newline that ends a half line before a gap still belongs to the old place.
  if (session.place != nullptr) report_notice(session, notice, *session.place);
  session.output->placed(notice);
  if (session.place != nullptr) *session.place = StreamPlace{true, notice.position, 0, {}};
  begin_catch_up(session, notice);
}

void write_log(Session& session, std::string_view bytes) {
  if (bytes.empty()) return;
  release_held_log(session);
  write_out(session, bytes);
}

// The answer to the login grants the path the daemon serves (the configuration's logfile,
// where it names one), or refuses it before the daemon closes the connection.
bool names_our_log(const Session& session, std::optional<std::string_view> path) {
  return path && (!session.settings->logfile || *path == *session.settings->logfile);
}

// A login echoed back by a daemon whose key differs: the login's own text, as far as the
// daemon's reading of it went before a zero byte.
bool is_echoed_login(const Session& session, std::string_view payload) {
  const std::string login = login_message(session);
  return payload.size() >= session.login_text.size() && login.starts_with(payload);
}

SessionEnd key_differs(const Session& session) {
  say(session.label,
      "what the daemon sends does not read under the key; most likely the "
      "key differs from the daemon's\n");
  return SessionEnd::kLoginUnread;
}

// The daemon may broadcast growth before it reads the login, so a payload that comes while the
// answer is awaited is the answer only when it can be one; anything else is log.
std::optional<SessionEnd> take_payload(Session& session, const Payload& payload,
                                       std::string_view text) {
  if (session.held_refusal) {
    session.held_refusal = false;  // more came: it was log
    write_out(session, codec::kRefusal);
  }
  if (session.awaiting_reply && !payload.continues) {
    const std::optional<std::string_view> lengths_path = codec::lengths_granted_path(text);
    const bool grant = names_our_log(session, lengths_path);
    const std::optional<std::string_view> path = grant ? lengths_path : codec::granted_path(text);
    if (names_our_log(session, path)) {
      session.awaiting_reply = false;
      session.key_confirmed = true;
      session.lengths = grant;
      session.whole = grant && codec::grants_whole(text);
      if (!grant) {
        session.since_login = {};
        release_held_log(session);
      }
      say(session.label, "logged in; following %.*s\n", static_cast<int>(path->size()),
          path->data());
      session.output->following(std::string(*path));
      return std::nullopt;
    }
    if (text == codec::kRefusal) {
      session.held_refusal = true;
      return std::nullopt;
    }
    if (is_echoed_login(session, text)) {
      say(session.label, "the daemon did not take the login; the key differs\n");
      return SessionEnd::kLoginUnread;
    }
  }
  // Until the key is confirmed, a frame without padding proves nothing: one that does not read
  // as text waits for a padded frame to confirm the key, or for kUnreadLimit to refute it.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (!session.key_confirmed && !payload.padded && !reads_as_text(bytes, text.size())) {
    session.unconfirmed.append(text);
    return std::nullopt;
  }
  if (payload.padded && !session.key_confirmed) {
    session.key_confirmed = true;
    write_out(session, session.unconfirmed);
    session.unconfirmed.clear();
  }
  if (!session.unconfirmed.empty()) {
    session.unconfirmed.append(text);
    return std::nullopt;
  }
  write_out(session, text);
  return std::nullopt;
}

void note_held_bytes(Session& session) {
  const bool held = unwritten_bytes(session.assembly) > 0;
  const Clock::time_point now = Clock::now();
  session.quiet_at =
      held ? std::optional(now + std::chrono::milliseconds(kQuietMilliseconds)) : std::nullopt;
  if (session.assembly.held > 0 && session.assembly.held != session.reported_held) {
    say(session.label, "%zu bytes received form no whole frame yet; holding them\n",
        session.assembly.held);
  }
  session.reported_held = session.assembly.held;
  if (!session.unconfirmed.empty()) {
    if (!session.unread_since) session.unread_since = now;
  } else if (!held || session.key_confirmed) {
    session.unread_since.reset();
  } else if (!session.unread_since) {
    session.unread_since = now;
  }
}

std::optional<SessionEnd> take_answers(Session& session) {
  for (const std::vector<std::uint8_t>& payload : session.length_reader.answers) {
    const std::optional<codec::Answer> answer = codec::read_answer(payload.data(), payload.size());
    if (!answer) continue;  // a kind this viewer does not know
    CatchUpStep step = take_catch_up_answer(session.catch_up, *answer);
    emit(session, step.write);
    if (step.problem) say(session.label, "%s\n", step.problem->c_str());
    if (step.next && !send_request(session, *step.next)) return SessionEnd::kGone;
    if (!step.finished) continue;
    if (session.catch_up.goal == CatchUp::Goal::kMatches && !session.catch_up.then_follow) {
      return SessionEnd::kFinished;
    }
    end_catch_up(session);
  }
  return std::nullopt;
}

std::optional<SessionEnd> take_lengths(Session& session, const std::uint8_t* data,
                                       std::size_t size) {
  LengthReader& reader = session.length_reader;
  add_length_receive(reader, data, size);
  const auto* output = reinterpret_cast<const char*>(reader.output.data());
  std::size_t from = 0;
  for (const auto& [at, notice] : reader.notices) {
    write_log(session, std::string_view(output + from, at - from));
    take_notice(session, notice);
    from = at;
  }
  write_log(session, std::string_view(output + from, reader.output.size() - from));
  if (!reader.output.empty() || !reader.notices.empty()) session.worked = true;
  if (auto end = take_answers(session)) return end;
  // --grep without --follow ends once its search has, whether or not it could run.
  const CatchUp& catch_up = session.catch_up;
  if (catch_up.goal == CatchUp::Goal::kMatches && !catch_up.then_follow && catch_up.done) {
    return SessionEnd::kFinished;
  }
  if (!reader.malformed) return std::nullopt;
  say(session.label,
      "the daemon sent a length that no frame has; the stream "
      "cannot be read on\n");
  return SessionEnd::kGone;
}

// The answer granted lengths: from the end of its frame on, frames come behind their lengths.
// What the assembly made of those bytes is dropped, and they are read again that way.
std::optional<SessionEnd> start_lengths(Session& session, std::size_t answer_end) {
  session.quiet_at.reset();
  session.unread_since.reset();
  session.length_reader.key = session.settings->key;
  std::vector<std::uint8_t> rest(
      session.since_login.begin() + static_cast<std::ptrdiff_t>(answer_end),
      session.since_login.end());
  session.since_login = {};
  session.assembly = FrameAssembly{};
  return take_lengths(session, rest.data(), rest.size());
}

// The daemon granted positions: what came before its answer is sent again from the place
// asked, so no reading of it matters; from the answer's end on, everything comes by length.
std::optional<SessionEnd> start_positions(Session& session, std::size_t answer_end,
                                          const std::string& path, bool whole) {
  if (session.settings->logfile && path != *session.settings->logfile) return std::nullopt;
  session.awaiting_reply = false;
  session.held_refusal = false;
  session.key_confirmed = true;
  session.lengths = true;
  session.unconfirmed.clear();
  session.whole = whole;
  say(session.label, "logged in; following %s\n", path.c_str());
  session.output->following(path);
  return start_lengths(session, answer_end);
}

// Takes what the assembly wrote in its last call; a value when the session ends.
std::optional<SessionEnd> take_written(Session& session) {
  const FrameAssembly& assembly = session.assembly;
  if (assembly.dropped > 0) {
    if (!session.key_confirmed) return key_differs(session);
    say(session.label, "dropped %zu bytes that formed no frame\n", assembly.dropped);
  }
  if (assembly.tied > 0) {
    say(session.label,
        "%zu bytes could be cut into frames in more than one way (not "
        "text?); kept the likeliest reading\n",
        assembly.tied);
  }
  for (const Payload& payload : assembly.payloads) {
    session.worked = true;
    const auto* text = reinterpret_cast<const char*>(assembly.output.data() + payload.offset);
    if (auto end = take_payload(session, payload, std::string_view(text, payload.size))) {
      return end;
    }
    if (session.lengths) return start_lengths(session, payload.stream_end);
  }
  note_held_bytes(session);
  return std::nullopt;
}

}  // namespace

std::optional<Clock::time_point> next_deadline(const Session& session) {
  std::optional<Clock::time_point> next;
  const auto consider = [&](Clock::time_point when) { next = next ? std::min(*next, when) : when; };
  if (session.awaiting_reply) consider(session.reply_deadline);
  if (session.quiet_at) consider(*session.quiet_at);
  if (session.unread_since) consider(*session.unread_since + kUnreadLimit);
  return next;
}

std::optional<SessionEnd> take_deadlines(Session& session) {
  const Clock::time_point now = Clock::now();
  if (session.quiet_at && now >= *session.quiet_at) {
    take_quiet(session.assembly);
    if (auto end = take_written(session)) return end;
  }
  if (session.unread_since && now >= *session.unread_since + kUnreadLimit)
    return key_differs(session);
  if (session.awaiting_reply && now >= session.reply_deadline) {
    say(session.label,
        "no answer to the login within %d s; does the key match the "
        "daemon's?\n",
        kLoginReplySeconds);
    return SessionEnd::kLoginUnread;
  }
  return std::nullopt;
}

namespace {

// The daemon closed the connection: the frames held back are whole now, or never.
SessionEnd take_close(Session& session) {
  take_quiet(session.assembly);
  if (auto end = take_written(session)) return *end;
  if (session.held_refusal) {
    say(session.label, "the daemon refused the password\n");
    return SessionEnd::kRefused;
  }
  say(session.label, "the daemon closed the connection\n");
  return SessionEnd::kGone;
}

SessionEnd take_closed_lengths(const Session& session) {
  const LengthReader& reader = session.length_reader;
  if (reader.bytes.size() > reader.taken) {
    say(session.label, "the connection ended in the middle of a frame\n");
  }
  say(session.label, "the daemon closed the connection\n");
  return SessionEnd::kGone;
}

}  // namespace

std::optional<SessionEnd> take_receive(Session& session, std::vector<std::uint8_t>& buffer) {
  const ssize_t received = receive_some(session.fd, session.tls, buffer.data(), buffer.size());
  if (received == kTlsNothingYet || (received < 0 && errno == EINTR)) return std::nullopt;
  const bool unanswered = session.awaiting_reply && session.tls != nullptr;
  if (received <= 0 && unanswered) {
    const int error = errno;
    const SessionEnd end = failed_before_answer(session, nullptr, error);
    if (end == SessionEnd::kCertificateRefused) return end;
    errno = error;
  }
  if (received < 0 && errno != ECONNRESET) {
    say(session.label, "receive: %s\n", std::strerror(errno));
    return SessionEnd::kGone;
  }
  if (received <= 0) return session.lengths ? take_closed_lengths(session) : take_close(session);
  const auto size = static_cast<std::size_t>(received);
  if (session.lengths) return take_lengths(session, buffer.data(), size);
  const bool asked_lengths = session.awaiting_reply && session.settings->password;
  if (asked_lengths) {
    const std::size_t before = session.since_login.size();
    session.since_login.insert(session.since_login.end(), buffer.data(), buffer.data() + size);
    // A notice's mark may have begun in the receive before.
    const std::size_t from = before - std::min(before, codec::kLengthPrefixBytes - 1);
    std::string path;
    bool whole = false;
    if (const auto answer_end =
            find_positions_grant(session.since_login, from, session.settings->key, path, &whole)) {
      return start_positions(session, *answer_end, path, whole);
    }
  }
  add_receive(session.assembly, buffer.data(), size);
  if (auto end = take_written(session)) return end;
  // The answer that grants lengths ends what came: it is taken at once, not after a quiet spell.
  if (asked_lengths && !session.lengths &&
      ends_with_framed_answer(session.since_login, session.settings->key)) {
    take_quiet(session.assembly);
    return take_written(session);
  }
  return std::nullopt;
}

std::optional<SessionEnd> start_session(Session& session) {
  session.assembly.key = session.settings->key;
  if (!session.settings->password) return std::nullopt;
  return send_login(session, *session.settings);
}

}  // namespace vantrel::follow
