#include "service/login.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/frame.h"
#include "codec/login.h"
#include "service/resume.h"
#include "service/service_state.h"
#include "service/tls.h"
#include "service/whole_log.h"

namespace vantrel::service {

namespace {

// Frames the payload at the start of the buffer and sends it without waiting, as every send
// to a viewer is made. Returns false when the viewer was dropped for a failed send.
bool send_reply(ServiceState& state, const Settings& settings, int descriptor,
                std::size_t payload_length) {
  const std::size_t frame_length =
      codec::encode_frame(state.buffer.get(), payload_length, settings.key);
  return send_frame_or_drop(state, descriptor, frame_length);
}

// The answer goes now if the socket takes it, else once the frame in progress is finished and
// there is room: a login that comes in the middle of a burst is answered, not dropped.
void answer_login(ServiceState& state, const Settings& settings, int descriptor,
                  Viewer::Answer answer) {
  Viewer& viewer = viewer_at(state, descriptor);
  if (viewer.answer_sent > 0) {
    // A second login while the first one's answer is half sent: the two cannot be interleaved.
    drop_for_failed_send(state, descriptor, EAGAIN);
    return;
  }
  viewer.answer = answer;
  if (!is_in_the_middle(viewer) && !viewer.blocked) send_answer(state, settings, descriptor);
}

void accept_login(ServiceState& state, const Settings& settings, int descriptor,
                  const codec::LoginAsks& asks) {
  Viewer& viewer = viewer_at(state, descriptor);
  viewer.answer_framed = asks.lengths;
  viewer.asks_positions = asks.positions;
  viewer.request = asks.resume;
  viewer.answer_whole = asks.whole;
  answer_login(state, settings, descriptor, Viewer::Answer::kGrant);
}

// Over TLS the report names the peer and is throttled: a stranger's guesses do not flood the
// console.
void refuse_login(ServiceState& state, const Settings& settings, int descriptor) {
  ++state.counters.refused_password;
  const Connection& connection = viewer_at(state, descriptor).connection;
  if (is_tls(connection)) {
    report_peer_failure(connection.peer, "wrong password");
  } else {
    std::printf("vantrel: Wrong Password!(%d)\n", descriptor);
  }
  answer_login(state, settings, descriptor, Viewer::Answer::kRefusal);
}

// The answer to a login, framed in the transfer buffer. Returns the frame length.
std::size_t build_answer(ServiceState& state, const Settings& settings, Viewer& viewer) {
  char* reply = reinterpret_cast<char*>(borrow_buffer(state));
  const std::size_t length = viewer.answer == Viewer::Answer::kRefusal
                                 ? codec::write_refusal(reply)
                                 : codec::write_grant(reply, codec::kMaxPayload, *settings.logfile,
                                                      viewer.answer_framed, viewer.answer_whole);
  return codec::encode_frame(state.buffer.get(), length, settings.key);
}

}  // namespace

bool send_answer(ServiceState& state, const Settings& settings, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  const std::size_t frame_length = build_answer(state, settings, viewer);
  std::size_t total = 0;
  const ssize_t sent = send_frame_rest(state, descriptor, frame_length, viewer.answer_sent, total);
  if (sent < 0) {
    drop_for_failed_send(state, descriptor, errno);
    return false;
  }
  viewer.answer_sent += static_cast<std::uint32_t>(sent);
  if (viewer.answer_sent < total) {
    viewer.blocked = true;
    return false;
  }
  const Viewer::Answer answer = viewer.answer;
  viewer.answer = Viewer::Answer::kNone;
  viewer.answer_sent = 0;
  if (answer == Viewer::Answer::kRefusal) {
    drop_viewer(state, descriptor);
    return false;
  }
  viewer.framed = viewer.answer_framed;
  viewer.phase = Viewer::Phase::kLoggedIn;
  std::printf("vantrel: Client(%d) successfully logged in.\n", descriptor);
  if (viewer.framed && viewer.asks_positions) {
    viewer.whole = viewer.answer_whole;
    place_viewer(state, settings, descriptor);
  } else {
    viewer.positions = false;  // notices go only behind lengths, to a viewer that asked
    viewer.notice_pending = false;
  }
  return true;
}

void handle_viewer_message(ServiceState& state, const Settings& settings, int descriptor,
                           std::size_t received) {
  if (viewer_at(state, descriptor).whole)
    return take_requests(state, settings, descriptor, received);
  std::uint8_t* text = state.buffer.get();
  const std::size_t text_end = codec::decode_frame(text, received, settings.key);
  if (settings.quiet == 0) {
    std::printf("vantrel: Got message: '%s'\n", reinterpret_cast<const char*>(text));
  }
  if (codec::is_login(text)) {
    if (codec::password_field(text, text_end) == *settings.password) {
      accept_login(state, settings, descriptor, codec::read_login_asks(text, text_end));
    } else {
      refuse_login(state, settings, descriptor);
    }
    return;
  }
  std::printf("vantrel: Client(%i) can't login, probably wrong key.\n", descriptor);
  send_reply(state, settings, descriptor, std::strlen(reinterpret_cast<const char*>(text)));
}

}  // namespace vantrel::service
