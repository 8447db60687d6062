// Arbitrary received blocks, up to a full 65536-byte receive, through decode_frame and the
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
#include "fuzz_support.h"
#include "service/service.h"

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
  harness.state.clients |= std::uint64_t{1} << harness.daemon_end;
  ++harness.state.client_count;
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

// The text the daemon reads from a block, decoded in a buffer of its own.
std::string text_of(const std::uint8_t* data, std::size_t size) {
  auto copy = std::make_unique<std::uint8_t[]>(size + 1);
  std::memcpy(copy.get(), data, size);
  const std::size_t end = codec::decode_frame(copy.get(), size, settings::key_from_number(kKey));
  check(end <= size, "the text ends within the received bytes");
  return std::string(reinterpret_cast<const char*>(copy.get()));
}

void deliver(Harness& h, const settings::Settings& settings, const std::uint8_t* data,
             std::size_t size) {
  const std::string text = text_of(data, size);
  std::memcpy(h.state.buffer.get(), data, size);
  service::handle_client_message(h.state, settings, h.daemon_end, size);
  const std::string reply = take_reply(h);
  check(reply.size() % 4 == 1 && reply.back() >= 1 && reply.back() <= 4, "one whole frame");
  const std::string answer =
      text_of(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
  const bool dropped = (h.state.clients & (std::uint64_t{1} << h.daemon_end)) == 0;
  if (text.compare(0, 4, "PASS") != 0) {
    // No stale bytes of earlier blocks, and no more than one receive's worth.
    check(answer == text, "the echo is the text read from this block");
    check(!dropped, "an echo keeps the viewer");
  } else if (answer == "WO!!") {
    check(dropped, "a refused login drops the viewer");
  } else {
    const std::string expected = ("YIPI " + *settings.logfile).substr(0, codec::kMaxPayload);
    check(answer == expected, "the acknowledgement names the log file, cut to one frame");
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
  fuzz::deliver(h, h.chatty, data, size);
  fuzz::deliver(h, h.long_path, data, size);
  return 0;
}
