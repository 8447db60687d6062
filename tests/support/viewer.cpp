#include "support/viewer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <utility>

#include "codec/frame.h"
#include "codec/login.h"
#include "follow/frame_assembly.h"
#include "follow/length_reader.h"

namespace vantrel::testing {

namespace {

int milliseconds_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Whether the process is blocked in select (the pselect6 or select system call, as the C
// library chooses), read from the system call it is in.
bool sleeps_in_select(pid_t pid) {
  std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  syscall >> number;
#ifdef SYS_select
  if (number == SYS_select) return true;
#endif
  return number == SYS_pselect6;
}

}  // namespace

bool looks_whole(const std::string& block, std::uint32_t key) {
  return follow::is_whole_frame(reinterpret_cast<const std::uint8_t*>(block.data()), block.size(),
                                settings::key_from_number(key));
}

std::size_t first_frame_length(std::string_view bytes, std::size_t from, std::uint32_t key) {
  const settings::Key key_bytes = settings::key_from_number(key);
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  for (std::size_t end = std::max<std::size_t>(from, 1); end <= bytes.size(); end += 4) {
    if (follow::is_whole_frame(data, end, key_bytes)) return end;
  }
  return 0;
}

namespace {

bool is_printable_text(const std::string& text) {
  for (const char c : text) {
    if ((c < 0x20 || c > 0x7e) && c != '\n' && c != '\t') return false;
  }
  return true;
}

// The decoded payload of a block that is one whole frame of printable text.
std::optional<std::string> printable_frame(const std::string& block, std::uint32_t key) {
  if (!looks_whole(block, key)) return std::nullopt;
  const std::string text = decode_block(block, key);
  const std::size_t payload = block.size() - static_cast<unsigned char>(block.back());
  if (text.size() != payload || !is_printable_text(text)) return std::nullopt;
  return text;
}

}  // namespace

bool split_printable_frames(const std::string& block, std::uint32_t key,
                            std::vector<std::string>& texts) {
  if (const auto whole = printable_frame(block, key)) {
    texts.push_back(*whole);
    return true;
  }
  for (std::size_t cut = 1; cut < block.size(); cut += 4) {
    const auto first = printable_frame(block.substr(0, cut), key);
    if (!first) continue;
    texts.push_back(*first);
    if (split_printable_frames(block.substr(cut), key, texts)) return true;
    texts.pop_back();
  }
  return false;
}

std::string make_frame(const std::string& payload, std::uint32_t key) {
  std::string buffer(codec::encoded_room(payload.size()), '\0');
  buffer.replace(0, payload.size(), payload);
  const std::size_t length = codec::encode_frame(reinterpret_cast<std::uint8_t*>(buffer.data()),
                                                 payload.size(), settings::key_from_number(key));
  buffer.resize(length);
  return buffer;
}

std::string decode_block(std::string block, std::uint32_t key) {
  const std::size_t received = block.size();
  block.push_back('\0');
  codec::decode_frame(reinterpret_cast<std::uint8_t*>(block.data()), received,
                      settings::key_from_number(key));
  return std::string(block.c_str());
}

TestViewer::~TestViewer() { close_now(); }

bool TestViewer::connect_to(unsigned short port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return false;
  if (receive_buffer_ > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_, sizeof receive_buffer_);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool TestViewer::send_raw(const std::string& bytes) {
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> TestViewer::receive_block(Clock::duration limit) {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, milliseconds_left(Clock::now() + limit)) <= 0) return std::nullopt;
  std::string block(65536, '\0');
  const ssize_t count = recv(fd_, block.data(), block.size(), 0);
  if (count <= 0) return std::nullopt;
  block.resize(static_cast<std::size_t>(count));
  return block;
}

bool TestViewer::receive_text(const std::string& expected, Clock::duration limit,
                              std::uint32_t key) {
  const auto deadline = Clock::now() + limit;
  std::string pending;
  while (text_.find(expected) == std::string::npos) {
    const auto block = receive_block(deadline - Clock::now());
    if (!block) return false;
    // A large frame may arrive over several receives, and two frames sent in quick succession
    // may arrive in one: wait for whole frames, then take them apart.
    pending += *block;
    std::vector<std::string> texts;
    if (split_printable_frames(pending, key, texts)) {
      for (const std::string& text : texts) text_ += text;
      pending.clear();
    }
  }
  return true;
}

bool TestViewer::log_in_framed(const std::string& password, const std::string& answer) {
  if (!send_frame("PASS " + password + std::string(codec::kLengthsSuffix))) return false;
  const std::string expected = make_frame(answer + std::string(codec::kLengthsSuffix));
  while (pending_.size() < expected.size()) {
    const auto block = receive_block();
    if (!block) return false;
    pending_ += *block;
  }
  if (pending_.compare(0, expected.size(), expected) != 0) return false;
  pending_.erase(0, expected.size());
  return true;
}

bool TestViewer::receive_framed_text(const std::string& expected, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  follow::LengthReader reader;  // the viewer's own, with a property test of its own
  reader.key = settings::key_from_number(kTestKey);
  std::string received = std::exchange(pending_, std::string());
  while (!reader.malformed) {
    add_length_receive(reader, reinterpret_cast<const std::uint8_t*>(received.data()),
                       received.size());
    text_.append(reader.output.begin(), reader.output.end());
    if (text_.find(expected) != std::string::npos) {
      pending_.assign(reader.bytes.begin() + static_cast<std::ptrdiff_t>(reader.taken),
                      reader.bytes.end());
      return true;
    }
    const auto block = receive_block(deadline - Clock::now());
    if (!block) return false;
    received = *block;
  }
  return false;
}

bool TestViewer::wait_closed(Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, milliseconds_left(deadline)) <= 0) return false;
    char chunk[65536];
    if (recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
  }
  return false;
}

void TestViewer::reset() {
  linger abort_on_close{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close_now();
}

void TestViewer::close_now() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

Daemon::Daemon(const DaemonOptions& options) : options_(options), port_(free_port()) {
  std::string config;
  for (const std::string& line : options_.config_lines) config += line + "\n";
  write_file(dir_.file("vantrel.cfg"), config);
  write_file(log_path(), options_.initial_log);
}

bool Daemon::start() {
  std::vector<std::string> argv = {
      "vantrel", "-c", dir_.file("vantrel.cfg"), "-p", std::to_string(port_), "-f", log_path()};
  argv.insert(argv.end(), options_.extra_args.begin(), options_.extra_args.end());
  if (!process_.start(VANTREL_BINARY, argv, dir_.path(), options_.environment)) return false;
  if (!process_.wait_for_output("vantrel: Waiting for clients connection...\n")) return false;
  // The message comes before the start-up poll of the log file; what a test appends before
  // that poll is taken by it and never sent. Once the daemon sleeps in its wait, the poll is
  // done.
  return process_.wait_until([&] { return sleeps_in_select(process_.pid()); });
}

std::string without_inotify() { return std::string("LD_PRELOAD=") + VANTREL_NO_INOTIFY_SHIM; }

bool Daemon::stop_and_check() {
  const bool was_running = process_.running();
  const Outcome outcome = process_.stop();
  return was_running && outcome.signal == SIGTERM;
}

std::pair<int, std::string> http_get(unsigned short port, const std::string& target) {
  TestViewer client;
  if (!client.connect_to(port) ||
      !client.send_raw("GET /" + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
    return {0, ""};
  }
  std::string reply;
  while (const auto block = client.receive_block()) reply += *block;
  const std::size_t body = reply.find("\r\n\r\n");
  if (reply.size() < 12 || body == std::string::npos) return {0, reply};
  return {std::stoi(reply.substr(9, 3)), reply.substr(body + 4)};
}

}  // namespace vantrel::testing
