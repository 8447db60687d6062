#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "codec/frame.h"
#include "service/service_state.h"
#include "service/tls.h"

namespace vantrel::service {

namespace {

constexpr std::size_t kPasswordStart = 5;  // "PASS", then one separator byte never examined

bool is_login(const std::uint8_t* text) { return std::memcmp(text, "PASS", 4) == 0; }

// The bytes from index 5 up to the next zero byte, never past the decoder's terminator: a
// text that ends at index 4 or 5 has an empty password field.
std::string_view password_field(const std::uint8_t* text, std::size_t text_end) {
  if (text_end <= kPasswordStart) return {};
  return std::string_view(reinterpret_cast<const char*>(text) + kPasswordStart);
}

// Frames the payload at the start of the buffer and sends it without waiting, as every send
// to a viewer is made. Returns false when the viewer was dropped for a failed send.
bool send_reply(ServiceState& state, const Settings& settings, int descriptor,
                std::size_t payload_length) {
  const std::size_t frame_length =
      codec::encode_frame(state.buffer.get(), payload_length, settings.key);
  return send_frame_or_drop(state, descriptor, frame_length);
}

// What the login asks for after the zero byte that ends its password: "framed", optionally
// followed by a zero byte and a resume field that asks for positions.
struct Request {
  bool framed = false;
  bool positions = false;
  std::optional<codec::ResumeRequest> resume;  // no value: the field could not be read
};

Request read_request(const std::uint8_t* text, std::size_t text_end) {
  const std::string_view whole(reinterpret_cast<const char*>(text), text_end);
  const std::size_t zero = whole.find('\0', kPasswordStart);
  if (zero == std::string_view::npos) return {};
  const std::string_view asked = whole.substr(zero + 1);
  if (asked == codec::kFramedCapability) return {true, false, std::nullopt};
  const std::string_view capability(codec::kFramedCapability, sizeof codec::kFramedCapability);
  if (!asked.starts_with(capability)) return {};
  return {true, true, codec::parse_resume_field(asked.substr(capability.size()))};
}

// The answer goes now if the socket takes it, else once the frame in progress is finished and
// there is room: a login that comes in the middle of a burst is answered, not dropped.
void answer_login(ServiceState& state, const Settings& settings, int descriptor,
                  ViewerSlot::Answer answer) {
  ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  if (viewer.answer_sent > 0) {
    // A second login while the first one's answer is half sent: the two cannot be interleaved.
    errno = EAGAIN;
    std::perror("vantrel: Error sending data to client(will close client's connection)");
    drop_client(state, descriptor);
    return;
  }
  viewer.answer = answer;
  if (!is_in_the_middle(viewer) && !viewer.blocked) send_answer(state, settings, descriptor);
}

void accept_login(ServiceState& state, const Settings& settings, int descriptor,
                  const Request& request) {
  ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  viewer.answer_framed = request.framed;
  viewer.asks_positions = request.positions;
  viewer.request = request.resume;
  answer_login(state, settings, descriptor, ViewerSlot::Answer::kGrant);
}

// Over TLS the report names the peer and is throttled: a stranger's guesses do not flood the
// console.
void refuse_login(ServiceState& state, const Settings& settings, int descriptor) {
  const Connection& connection = state.connections[static_cast<std::size_t>(descriptor)];
  if (connection.tls != nullptr) {
    report_peer_failure(connection.peer, "wrong password");
  } else {
    std::printf("vantrel: Wrong Password!(%d)\n", descriptor);
  }
  answer_login(state, settings, descriptor, ViewerSlot::Answer::kRefusal);
}

}  // namespace

void handle_client_message(ServiceState& state, const Settings& settings, int descriptor,
                           std::size_t received) {
  std::uint8_t* text = state.buffer.get();
  const std::size_t text_end = codec::decode_frame(text, received, settings.key);
  if (settings.quiet == 0) {
    std::printf("vantrel: Got message: '%s'\n", reinterpret_cast<const char*>(text));
  }
  if (is_login(text)) {
    if (password_field(text, text_end) == *settings.password) {
      accept_login(state, settings, descriptor, read_request(text, text_end));
    } else {
      refuse_login(state, settings, descriptor);
    }
    return;
  }
  std::printf("vantrel: Client(%i) can't login, probably wrong key.\n", descriptor);
  send_reply(state, settings, descriptor, std::strlen(reinterpret_cast<const char*>(text)));
}

}  // namespace vantrel::service
