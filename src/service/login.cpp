#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "codec/frame.h"
#include "service/service.h"

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

// What the login asks for after the zero byte that ends its password: "framed", or nothing.
bool asks_for_lengths(const std::uint8_t* text, std::size_t text_end) {
  const std::string_view whole(reinterpret_cast<const char*>(text), text_end);
  const std::size_t zero = whole.find('\0', kPasswordStart);
  return zero != std::string_view::npos && whole.substr(zero + 1) == codec::kFramedCapability;
}

void accept_login(ServiceState& state, const Settings& settings, int descriptor, bool framed) {
  // Bounded to one frame's payload, so that no log file path can outgrow the buffer.
  char* reply = reinterpret_cast<char*>(state.buffer.get());
  const int wanted =
      std::snprintf(reply, codec::kMaxPayload + 1, "YIPI %s", settings.logfile->c_str());
  std::size_t length = std::min(static_cast<std::size_t>(wanted), codec::kMaxPayload);
  // The answer names the capability after a zero byte, where a viewer that did not ask for it
  // would never look.
  const std::size_t capability = sizeof codec::kFramedCapability;  // with the zero before it
  if (framed && length + capability <= codec::kMaxPayload) {
    reply[length] = '\0';
    std::memcpy(reply + length + 1, codec::kFramedCapability, capability - 1);
    length += capability;
  } else {
    framed = false;
  }
  if (send_reply(state, settings, descriptor, length)) {
    state.viewers[static_cast<std::size_t>(descriptor)].framed = framed;
    std::printf("vantrel: Client(%d) successfully logged in.\n", descriptor);
  }
}

void refuse_login(ServiceState& state, const Settings& settings, int descriptor) {
  std::printf("vantrel: Wrong Password!(%d)\n", descriptor);
  std::memcpy(state.buffer.get(), "WO!!", 4);
  if (send_reply(state, settings, descriptor, 4)) drop_client(state, descriptor);
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
      accept_login(state, settings, descriptor, asks_for_lengths(text, text_end));
    } else {
      refuse_login(state, settings, descriptor);
    }
    return;
  }
  std::printf("vantrel: Client(%i) can't login, probably wrong key.\n", descriptor);
  send_reply(state, settings, descriptor, std::strlen(reinterpret_cast<const char*>(text)));
}

}  // namespace vantrel::service
