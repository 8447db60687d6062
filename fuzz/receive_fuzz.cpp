// Arbitrary received blocks through decode_frame and the
// login exchange, as the service loop hands them over: into the one transfer buffer, which
// keeps what earlier blocks left in it. The viewer is one end of a socket pair, so the reply
// is read back and checked.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "codec/frame.h"
#include "codec/login.h"
#include "codec/position.h"
#include "codec/whole.h"
#include "fuzz_support.h"
#include "service/log_reader.h"
#include "service/login.h"
#include "service/pacing.h"
#include "service/service_state.h"
#include "service/viewer.h"

namespace vantrel::fuzz {
namespace {

constexpr std::uint32_t kKey = 0x3e07b1d4;
constexpr const char* kPassword = "secret";

struct Harness {
  service::ServiceState state;
  settings::Settings chatty;     // short log path, every report printed
  settings::Settings long_path;  // a log path longer than any reply can hold, quiet
  int daemon_end = -1;           // the descriptor the daemon serves
  int viewer_end = -1;           // what the viewer reads its replies from
};

void connect_viewer(Harness& harness) {
  int ends[2];
  check(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0, "socketpair");
  check(ends[0] < service::kMaxDescriptors, "the viewer fits the client set");
  harness.daemon_end = ends[0];
  harness.viewer_end = ends[1];
  fcntl(harness.viewer_end, F_SETFL, O_NONBLOCK);
  service::admit_viewer(harness.state, harness.chatty, harness.daemon_end);
}

Harness& harness() {
  static Harness* instance = [] {
    auto* made = new Harness;
    check(service::allocate_transfer_buffer(made->state), "transfer buffer");
    for (settings::Settings* s : {&made->chatty, &made->long_path}) {
      s->password = kPassword;
      s->key = settings::key_from_number(kKey);
      s->port = settings::kDefaultPort;
    }
    made->chatty.logfile = "/var/log/server/console.log";
    made->chatty.quiet = 0;
    made->long_path.logfile = std::string(70000, 'p');
    made->long_path.quiet = 1;
    connect_viewer(*made);
    return made;
  }();
  return *instance;
}

// Everything the daemon sent since the last call.
std::string take_reply(Harness& h) {
  std::string reply;
  char chunk[8192];
  for (;;) {
    const ssize_t count = recv(h.viewer_end, chunk, sizeof chunk, 0);
    if (count <= 0) break;
    reply.append(chunk, static_cast<std::size_t>(count));
  }
  return reply;
}

// The bytes the daemon decodes from a block, zero bytes included, decoded in a buffer of its
// own; their text ends at the first zero byte.
std::string decoded_of(const std::uint8_t* data, std::size_t size) {
  auto copy = std::make_unique<std::uint8_t[]>(size + 1);
  std::memcpy(copy.get(), data, size);
  const std::size_t end = codec::decode_frame(copy.get(), size, settings::key_from_number(kKey));
  check(end <= size, "the text ends within the received bytes");
  return std::string(reinterpret_cast<const char*>(copy.get()), end);
}

std::string decoded_of(const std::string& block) {
  return decoded_of(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
}

// The acknowledgement a login earns: the log file's path, and the capability when it asked
// for lengths after the zero byte that ends its password and there is room for it.
// What a login asks for after the zero byte that ends its password: "framed" alone, or with a
// resume field behind another zero byte.
std::string asked(const std::string& login) {
  const std::size_t zero = login.find('\0', 5);
  return zero == std::string::npos ? std::string() : login.substr(zero + 1);
}

bool asks_positions(const std::string& login) {
  // "framed", then the zero byte before the resume field.
  return asked(login).starts_with(std::string(codec::kLengthsSuffix.substr(1)) + '\0');
}

// With positions, "whole" may follow the resume field behind one more zero byte.
bool asks_whole(const std::string& login) {
  const std::string after = asked(login);
  const std::size_t zero = after.find('\0', codec::kLengthsSuffix.size());
  return asks_positions(login) && zero != std::string::npos &&
         after.substr(zero) == codec::kWholeSuffix;
}

std::string expected_acknowledgement(const std::string& login, const std::string& logfile) {
  const std::string plain = ("YIPI " + logfile).substr(0, codec::kMaxPayload);
  std::string capability(codec::kLengthsSuffix);
  const bool asks = asked(login) == codec::kLengthsSuffix.substr(1) || asks_positions(login);
  if (!asks || plain.size() + capability.size() > codec::kMaxPayload) return plain;
  if (asks_whole(login) &&
      plain.size() + capability.size() + codec::kWholeSuffix.size() <= codec::kMaxPayload) {
    capability += codec::kWholeSuffix;
  }
  return plain + capability;
}

// A grant that asked for positions is followed by a notice of where the stream starts.
void take_notice(std::string& reply) {
  check(reply.size() > codec::kNoticeBytes, "a notice follows the grant");
  const std::string notice = reply.substr(reply.size() - codec::kNoticeBytes);
  check(notice.compare(0, 4, "\xff\xff\xff\xff") == 0 &&
            codec::read_notice(reinterpret_cast<const std::uint8_t*>(notice.data()) + 4),
        "the notice reads");
  reply.erase(reply.size() - codec::kNoticeBytes);
}

void deliver(Harness& h, const settings::Settings& settings, const std::uint8_t* data,
             std::size_t size, const std::string& decoded) {
  const std::string text = decoded.c_str();
  service::Viewer& viewer = h.state.viewers[static_cast<std::size_t>(h.daemon_end)];
  const bool framed_before = viewer.framed;
  std::memcpy(h.state.buffer.get(), data, size);
  service::handle_viewer_message(h.state, settings, h.daemon_end, size);
  const bool connected = service::is_admitted(viewer);
  if (connected) service::serve_viewers(h.state, settings);  // as the loop does next
  std::string reply = take_reply(h);
  if (connected && viewer.framed && asks_positions(decoded) && text.starts_with("PASS")) {
    take_notice(reply);
  }
  if (framed_before) {
    check(reply.size() > codec::kLengthPrefixBytes &&
              codec::read_length_prefix(reinterpret_cast<const std::uint8_t*>(reply.data())) ==
                  reply.size() - codec::kLengthPrefixBytes,
          "a viewer that asked for lengths gets each reply behind its length");
    reply.erase(0, codec::kLengthPrefixBytes);
  }
  check(reply.size() % 4 == 1 && reply.back() >= 1 && reply.back() <= 4, "one whole frame");
  const std::string acknowledgement = decoded_of(reply);
  const std::string answer = acknowledgement.c_str();
  const bool dropped = !service::is_admitted(viewer);
  if (text.compare(0, 4, "PASS") != 0) {
    // No stale bytes of earlier blocks, and no more than one receive's worth.
    check(answer == text, "the echo is the text read from this block");
    check(!dropped, "an echo keeps the viewer");
  } else if (answer == "WO!!") {
    check(dropped, "a refused login drops the viewer");
  } else {
    const std::string expected = expected_acknowledgement(decoded, *settings.logfile);
    check(acknowledgement == expected, "the acknowledgement names the log file, cut to one frame");
    check(viewer.framed == (expected.size() != answer.size()),
          "lengths follow for a viewer whose acknowledgement names them");
    check(!dropped, "a login keeps the viewer");
  }
  if (dropped) {
    close(h.viewer_end);
    connect_viewer(h);
  }
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vantrel::fuzz::silence_standard_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantrel;
  if (size == 0) return 0;  // the loop drops a viewer whose receive yields nothing
  size = std::min(size, service::kReceiveSize);
  fuzz::Harness& h = fuzz::harness();
  service::admit_viewer(h.state, h.chatty, h.daemon_end);  // each input from a new login
  const std::string decoded = fuzz::decoded_of(data, size);
  fuzz::deliver(h, h.chatty, data, size, decoded);
  fuzz::deliver(h, h.long_path, data, size, decoded);
  return 0;
}
