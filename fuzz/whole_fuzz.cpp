// The whole log's requests and answers on fuzzed input. The input's text, read as a request,
// writes back to a text that reads the same; read as an answer, its fields stay within it. And
// the input is what a viewer granted the whole log sends to the daemon serving a small log, cut
// in two receives: as it comes (first byte even), or as request texts, one per line, that the
// harness frames (odd). The log's device and inode are zero here, so that a seed can name its
// bytes. Whatever is asked, the daemon's answers read back whole under the key, each a kind the
// viewer knows, and nothing crashes or reads out of bounds.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/frame.h"
#include "codec/whole.h"
#include "follow/length_reader.h"
#include "fuzz_support.h"
#include "service/log_reader.h"
#include "service/login.h"
#include "service/pacing.h"
#include "service/service_state.h"
#include "service/viewer.h"
#include "service/whole_log.h"

namespace vantrel::fuzz {
namespace {

constexpr std::uint32_t kKey = 0x3e07b1d4;

void read_request(std::string_view text) {
  const auto request = codec::parse_request(text);
  if (!request) return;
  const auto again = codec::parse_request(codec::request_text(*request));
  check(again && again->kind == request->kind && again->id == request->id &&
            again->at == request->at && again->bound == request->bound &&
            again->count == request->count && again->pattern == request->pattern,
        "a request that reads writes back the same request");
}

void read_answer(const std::uint8_t* data, std::size_t size) {
  const auto answer = codec::read_answer(data, size);
  if (!answer) return;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(answer->bytes.data());
  check(bytes >= data && bytes + answer->bytes.size() == data + size,
        "an answer's bytes are the rest of its payload");
}

struct Harness {
  service::ServiceState state;
  settings::Settings settings;
  int daemon_end = -1;
  int viewer_end = -1;
};

Harness& harness() {
  static Harness* instance = [] {
    auto* made = new Harness;
    check(service::allocate_transfer_buffer(made->state), "transfer buffer");
    char folder[] = "/tmp/vantrel-fuzz-XXXXXX";
    check(mkdtemp(folder) != nullptr, "a folder for the log");
    const std::string path = std::string(folder) + "/whole.log";
    std::string log;
    for (int i = 0; i < 3000; ++i) log += "line " + std::to_string(i) + (i % 7 ? "\n" : " x\n");
    log += std::string(300000, 'y') + "\nno newline";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(file >= 0 && write(file, log.data(), log.size()) == static_cast<ssize_t>(log.size()),
          "the log written");
    close(file);
    made->settings.logfile = path;
    made->settings.password = "secret";
    made->settings.key = settings::key_from_number(kKey);
    made->settings.quiet = 1;
    check(service::keep_log_file(made->state, made->settings), "the log kept");
    made->state.log.end = static_cast<std::int64_t>(log.size());
    made->state.log.device = 0;
    made->state.log.inode = 0;
    return made;
  }();
  return *instance;
}

void connect_viewer(Harness& h) {
  int ends[2];
  check(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0, "socketpair");
  h.daemon_end = ends[0];
  h.viewer_end = ends[1];
  fcntl(h.viewer_end, F_SETFL, O_NONBLOCK);
  service::admit_viewer(h.state, h.settings, h.daemon_end);
  service::Viewer& viewer = service::viewer_at(h.state, h.daemon_end);
  viewer.phase = service::Viewer::Phase::kLoggedIn;
  viewer.framed = true;
  viewer.positions = true;
  viewer.whole = true;
  viewer.position = h.state.log.end;
}

void take_stream(Harness& h, follow::LengthReader& reader) {
  char chunk[65536];
  for (;;) {
    const ssize_t count = recv(h.viewer_end, chunk, sizeof chunk, 0);
    if (count <= 0) return;
    follow::add_length_receive(reader, reinterpret_cast<const std::uint8_t*>(chunk),
                               static_cast<std::size_t>(count));
    check(!reader.malformed, "the daemon's stream reads by its lengths");
    for (const auto& payload : reader.answers) {
      check(codec::read_answer(payload.data(), payload.size()).has_value(),
            "every answer is one the viewer knows");
    }
  }
}

// Each line of `texts` as a request frame behind its length.
std::string framed_requests(std::string_view texts, const settings::Settings& settings) {
  std::string stream;
  while (!texts.empty()) {
    const std::string_view text = texts.substr(0, texts.find('\n'));
    texts.remove_prefix(std::min(texts.size(), text.size() + 1));
    stream += codec::request_frame(text, settings.key);
  }
  return stream;
}

void serve(Harness& h, const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  connect_viewer(h);
  follow::LengthReader reader;
  reader.key = h.settings.key;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string stream =
      data[0] % 2 == 0 ? std::string(rest) : framed_requests(rest, h.settings);
  const std::size_t cut = (data[0] / 2) * stream.size() / 128;
  for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, std::pair{cut, stream.size()}}) {
    if (from >= to || !service::is_admitted(service::viewer_at(h.state, h.daemon_end))) continue;
    const std::size_t length = std::min(to - from, service::kReceiveSize);
    std::memcpy(h.state.buffer.get(), stream.data() + from, length);
    service::handle_viewer_message(h.state, h.settings, h.daemon_end, length);
  }
  // The turns of the loop that the jobs take, bounded: a search of this log ends in a few.
  for (int turn = 0; turn < 64 && service::is_admitted(service::viewer_at(h.state, h.daemon_end));
       ++turn) {
    service::work_on_jobs(h.state, h.settings);
    service::serve_viewers(h.state, h.settings);
    service::viewer_at(h.state, h.daemon_end).blocked = false;
    take_stream(h, reader);
    if (!service::has_job_work(h.state) &&
        !service::has_answers(service::viewer_at(h.state, h.daemon_end))) {
      break;
    }
  }
  if (service::is_admitted(service::viewer_at(h.state, h.daemon_end))) {
    service::drop_viewer(h.state, h.daemon_end);
  }
  close(h.viewer_end);
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vantrel::fuzz::silence_standard_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantrel;
  fuzz::read_request(std::string_view(reinterpret_cast<const char*>(data), size));
  fuzz::read_answer(data, size);
  fuzz::serve(fuzz::harness(), data, size);
  return 0;
}
