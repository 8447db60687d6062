// Soak run of the daemon: one daemon on loopback, a writer appending to its log file at a high
// rate (with bursts larger than one frame and a truncation now and then), 50 well-behaved
// viewers that log in and check every byte they receive (one in five over TLS, carried by
// socat with a viewer certificate), viewers that page back through the whole log and search it,
// and a rotating crowd of hostile viewers.
// Usage: vantrel_soak DAEMON SECONDS [SEED]
//
// It passes when the daemon is still up at the end, its resident memory at the end is within
// 1 MiB of what it was 10 seconds into the load, no well-behaved viewer was dropped, and what
// each of them decoded is, in order, pieces of what the writer appended. A receive that holds
// the end of one frame and the start of the next (two frames run together on the wire, which
// a viewer taking one receive for one frame would misread) is counted and reported.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/frame.h"
#include "codec/login.h"
#include "codec/position.h"
#include "codec/whole.h"
#include "follow/length_reader.h"
#include "follow/place.h"
#include "support/process.h"
#include "support/viewer.h"

namespace vantrel::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kKeyNumber = 0x3e07b1d4;
constexpr const char* kPassword = "soak-secret";
constexpr int kGoodViewers = 50;
constexpr int kTlsEvery = 5;                 // every fifth well-behaved viewer comes over TLS
constexpr std::size_t kReceiveSize = 65536;  // what a viewer asks one receive for
constexpr std::int64_t kMemoryLimit = 1024;  // KiB the daemon may grow after the first 10 s
// The writer's alphabet. None of these bytes, scrambled at a group's first position, can look
// like a trailer byte (1 to 4), so the first prefix of a viewer's stream that looks like a
// whole frame is one: the stream can be cut into frames exactly.
constexpr std::string_view kFiller = "abcdefghijklmnopqrstuvwxyz0123456789";

const settings::Key kKey = settings::key_from_number(kKeyNumber);

int uniform(std::mt19937_64& rng, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng);
}

// ---- the daemon ------------------------------------------------------------------------------

struct Daemon {
  pid_t pid = -1;
  int output = -1;  // standard output and error, merged
};

bool start_daemon(Daemon& daemon, const std::string& program, const std::string& folder,
                  unsigned short port) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  const std::string port_text = std::to_string(port);
  const std::string config = folder + "/vantrel.cfg";
  const std::string log = folder + "/soak.log";
  daemon.pid = fork();
  if (daemon.pid < 0) return false;
  if (daemon.pid == 0) {
    const int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    dup2(pipe_ends[1], 1);
    dup2(pipe_ends[1], 2);
    // Viewers are counted in descriptors: the daemon starts with 0, 1 and 2 alone, whatever
    // this process inherited.
    close_range(3, ~0u, 0);
    if (chdir(folder.c_str()) != 0) _exit(121);
    execl(program.c_str(), "vantrel", "-c", config.c_str(), "-p", port_text.c_str(), "-f",
          log.c_str(), "-q", static_cast<char*>(nullptr));
    _exit(120);
  }
  close(pipe_ends[1]);
  daemon.output = pipe_ends[0];
  return true;
}

// Stops the run before the load began: the daemon goes too.
[[noreturn]] void give_up(const Daemon& daemon, const char* why) {
  std::fprintf(stderr, "soak: %s\n", why);
  if (daemon.pid > 0) kill(daemon.pid, SIGTERM);
  std::exit(2);
}

bool daemon_running(const Daemon& daemon) {
  int status = 0;
  return waitpid(daemon.pid, &status, WNOHANG) == 0;
}

// Resident memory in KiB, or -1 when it cannot be read.
std::int64_t resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

// The daemon's reports, counted by kind as they arrive.
struct Reports {
  std::mutex lock;
  std::map<std::string, long> counts;
  std::vector<std::string> last_lines;  // the tail, for the post-mortem
  int highest_descriptor = -1;          // of a viewer the daemon took in
  std::string partial;
};

constexpr const char* kReportKinds[] = {
    "vantrel: Waiting for clients connection",
    "vantrel: Connect from host",
    "vantrel: Too many clients",
    "vantrel: Client disconnected",
    "successfully logged in",
    "vantrel: Wrong Password!",
    "can't login, probably wrong key",
    "vantrel: Error sending data to client",
    "vantrel: Log file truncated!",
    "vantrel: log size diff ==",
    "vantrel: Error decoding data!",
    "vantrel: accept",
};

void take_line(Reports& reports, const std::string& line) {
  for (const char* kind : kReportKinds) {
    if (line.find(kind) != std::string::npos) ++reports.counts[kind];
  }
  if (line.rfind("vantrel: Connect from host", 0) == 0) {
    const std::size_t open = line.rfind('(');
    if (open != std::string::npos) {
      reports.highest_descriptor =
          std::max(reports.highest_descriptor, std::atoi(line.c_str() + open + 1));
    }
  }
  reports.last_lines.push_back(line);
  if (reports.last_lines.size() > 40) reports.last_lines.erase(reports.last_lines.begin());
}

void read_reports(int output, Reports& reports) {
  char chunk[8192];
  for (;;) {
    const ssize_t count = read(output, chunk, sizeof chunk);
    if (count <= 0) return;
    const std::lock_guard<std::mutex> hold(reports.lock);
    reports.partial.append(chunk, static_cast<std::size_t>(count));
    for (std::size_t end = reports.partial.find('\n'); end != std::string::npos;
         end = reports.partial.find('\n')) {
      take_line(reports, reports.partial.substr(0, end));
      reports.partial.erase(0, end + 1);
    }
  }
}

long report_count(Reports& reports, const char* kind) {
  const std::lock_guard<std::mutex> hold(reports.lock);
  return reports.counts[kind];
}

// ---- the writer ------------------------------------------------------------------------------

// Everything the writer ever appended, in order, across truncations. A piece of the log file
// that a viewer receives lies within the bytes appended since one truncation, so it is a
// stretch of this history, and later pieces lie further on.
struct History {
  std::mutex lock;
  std::string bytes;                  // the history from position `base` on
  std::uint64_t base = 0;             // the part before it is behind every viewer and was dropped
  std::uint64_t pinned = UINT64_MAX;  // the resuming viewers' least position
};

struct WriterFigures {
  std::uint64_t bytes = 0;
  std::uint64_t lines = 0;
  std::uint64_t bursts = 0;  // single writes larger than one frame
  std::uint64_t truncations = 0;
};

void append_line(std::string& out, std::uint64_t number, std::size_t filler) {
  out += 'L';
  out += std::to_string(number);
  out += ' ';
  for (std::size_t i = 0; i < filler; ++i) out += kFiller[(number * 7 + i) % kFiller.size()];
  out += '\n';
}

void run_writer(const std::string& path, History& history, const std::atomic<bool>& stop,
                std::mt19937_64 rng, WriterFigures& figures) {
  const int file = open(path.c_str(), O_WRONLY | O_APPEND);
  if (file < 0) {
    std::perror("soak: open log");
    std::exit(2);
  }
  std::string batch;
  while (!stop) {
    const int dice = uniform(rng, 0, 999);
    if (dice == 0) {
      // A truncation in a thousand batches of about 3 ms: one every few seconds.
      if (ftruncate(file, 0) != 0) std::perror("soak: ftruncate");
      ++figures.truncations;
      continue;
    }
    batch.clear();
    const bool burst = dice == 1;
    const auto target =
        static_cast<std::size_t>(burst ? 70000 + uniform(rng, 0, 150000) : uniform(rng, 1, 1200));
    while (batch.size() < target) {
      append_line(batch, figures.lines++, static_cast<std::size_t>(uniform(rng, 0, 300)));
    }
    {
      // Into the history before the file: a viewer may receive it as soon as it is written.
      const std::lock_guard<std::mutex> hold(history.lock);
      history.bytes += batch;
      if (write(file, batch.data(), batch.size()) != static_cast<ssize_t>(batch.size())) {
        std::perror("soak: write log");
        std::exit(2);
      }
    }
    figures.bytes += batch.size();
    if (burst) ++figures.bursts;
    std::this_thread::sleep_for(std::chrono::microseconds(uniform(rng, 500, 5500)));
  }
  close(file);
}

// ---- the well-behaved viewers ----------------------------------------------------------------

struct GoodViewer {
  int fd = -1;
  std::string pending;       // received bytes not yet cut into frames
  std::size_t scanned = 0;   // prefix lengths of `pending` already ruled out as frame ends
  std::uint64_t cursor = 0;  // history position just past the last piece found
  bool logged_in = false;
  bool asks_lengths = false;  // every other viewer asks for a length before each frame
  bool lengths = false;       // granted: frames come behind their lengths from here on
  bool dropped = false;
  std::uint64_t frames = 0;
  std::uint64_t payload_bytes = 0;
  std::uint64_t receives = 0;
  std::uint64_t run_together = 0;  // receives holding the end of one frame and more after it
  std::uint64_t split = 0;         // frames that took more than one receive
  bool saw_last_line = false;      // the line appended after the load stopped
  std::string failure;             // the first thing received that was wrong
  std::string drop;                // how the connection ended, if it did
};

// The line appended once the load has stopped: every viewer still served receives it.
constexpr std::string_view kLastLine = "L0 the soak ends here\n";

bool connect_loopback(int fd, unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

std::string decode(std::string_view frame) {
  std::string buffer(frame);
  buffer.push_back('\0');
  const std::size_t end =
      codec::decode_frame(reinterpret_cast<std::uint8_t*>(buffer.data()), frame.size(), kKey);
  buffer.resize(end);
  return buffer;
}

void fail(GoodViewer& viewer, const std::string& why) {
  if (viewer.failure.empty()) viewer.failure = why;
}

void check_piece(GoodViewer& viewer, History& history, std::string_view piece) {
  const std::lock_guard<std::mutex> hold(history.lock);
  const std::size_t from = static_cast<std::size_t>(viewer.cursor - history.base);
  const void* at =
      memmem(history.bytes.data() + from, history.bytes.size() - from, piece.data(), piece.size());
  if (at == nullptr) {
    fail(viewer, "a frame that is no piece of the log after the previous one: \"" +
                     std::string(piece.substr(0, 60)) + "\" (" + std::to_string(piece.size()) +
                     " bytes)");
    return;
  }
  viewer.cursor = history.base +
                  static_cast<std::uint64_t>(static_cast<const char*>(at) - history.bytes.data()) +
                  piece.size();
}

// The acknowledgement of a login that asked for lengths names them after a zero byte.
std::string lengths_granted(const std::string& acknowledgement) {
  return acknowledgement + std::string(codec::kLengthsSuffix);
}

void take_frame(GoodViewer& viewer, History& history, std::string_view frame,
                const std::string& acknowledgement) {
  const std::string text = decode(frame);
  ++viewer.frames;
  if (text == (viewer.asks_lengths ? lengths_granted(acknowledgement) : acknowledgement)) {
    if (viewer.logged_in) fail(viewer, "a second acknowledgement");
    viewer.logged_in = true;
    viewer.lengths = viewer.asks_lengths;
    return;
  }
  if (text.empty() || text.size() + 4 < frame.size()) {
    fail(viewer, "a frame with a zero byte or nothing in it");
    return;
  }
  viewer.payload_bytes += text.size();
  check_piece(viewer, history, text);
  if (text.ends_with(kLastLine)) viewer.saw_last_line = true;
}

// Takes the frame behind its length at the start of `pending`, when all of it is there.
bool take_length_frame(GoodViewer& viewer, History& history, const std::string& acknowledgement) {
  if (viewer.pending.size() < codec::kLengthPrefixBytes) return false;
  const std::size_t length =
      codec::read_length_prefix(reinterpret_cast<const std::uint8_t*>(viewer.pending.data()));
  if (length == 0) {
    fail(viewer, "a length that no frame has");
    viewer.pending.clear();
    return false;
  }
  if (viewer.pending.size() < codec::kLengthPrefixBytes + length) return false;
  const std::string_view frame =
      std::string_view(viewer.pending).substr(codec::kLengthPrefixBytes, length);
  if (!testing::looks_whole(std::string(frame), kKeyNumber)) fail(viewer, "a broken frame");
  take_frame(viewer, history, frame, acknowledgement);
  viewer.pending.erase(0, codec::kLengthPrefixBytes + length);
  return true;
}

void receive(GoodViewer& viewer, History& history, const std::string& acknowledgement) {
  char chunk[kReceiveSize];
  const ssize_t count = recv(viewer.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) {
    viewer.dropped = true;
    viewer.drop = count == 0 ? "the daemon closed the connection" : std::strerror(errno);
    return;
  }
  ++viewer.receives;
  const bool continues_a_frame = !viewer.pending.empty();
  viewer.pending.append(chunk, static_cast<std::size_t>(count));
  int frames_ended = 0;
  for (;;) {
    if (viewer.lengths) {
      if (!take_length_frame(viewer, history, acknowledgement)) break;
      ++frames_ended;
      continue;
    }
    const std::size_t length =
        testing::first_frame_length(viewer.pending, viewer.scanned, kKeyNumber);
    if (length == 0) break;
    if (frames_ended++ == 0 && continues_a_frame) ++viewer.split;
    take_frame(viewer, history, std::string_view(viewer.pending).substr(0, length),
               acknowledgement);
    viewer.pending.erase(0, length);
    viewer.scanned = 0;
  }
  // Ends already ruled out stay ruled out: they depend only on the bytes before them.
  const std::size_t size = viewer.pending.size();
  viewer.scanned = size == 0 ? 0 : size - (size - 1) % 4;
  // A frame ended inside this receive, and more bytes came after it.
  if (frames_ended > 1 || (frames_ended == 1 && size > 0)) ++viewer.run_together;
}

void drop_history_behind(std::vector<GoodViewer>& viewers, History& history) {
  std::uint64_t behind_all = UINT64_MAX;
  for (const GoodViewer& viewer : viewers) {
    if (!viewer.dropped) behind_all = std::min(behind_all, viewer.cursor);
  }
  const std::lock_guard<std::mutex> hold(history.lock);
  behind_all = std::min(behind_all, history.pinned);
  if (behind_all == UINT64_MAX || behind_all - history.base < (16u << 20)) return;
  history.bytes.erase(0, static_cast<std::size_t>(behind_all - history.base));
  history.base = behind_all;
}

void run_viewers(std::vector<GoodViewer>& viewers, History& history,
                 const std::string& acknowledgement, const std::atomic<bool>& stop,
                 std::atomic<int>& saw_last_line) {
  std::vector<pollfd> ready(viewers.size());
  auto next_trim = Clock::now();
  while (!stop) {
    for (std::size_t i = 0; i < viewers.size(); ++i) {
      ready[i] = {viewers[i].dropped ? -1 : viewers[i].fd, POLLIN, 0};
    }
    if (poll(ready.data(), ready.size(), 100) < 0 && errno != EINTR) std::perror("soak: poll");
    int saw = 0;
    for (std::size_t i = 0; i < viewers.size(); ++i) {
      if (ready[i].revents != 0) receive(viewers[i], history, acknowledgement);
      saw += viewers[i].saw_last_line;
    }
    saw_last_line = saw;
    if (Clock::now() >= next_trim) {
      drop_history_behind(viewers, history);
      next_trim = Clock::now() + 1s;
    }
  }
}

// ---- the resuming viewers ------------------------------------------------------------------
// They ask for positions, cut their own connection at random (with a reset, as a network that
// fails would) and resume at once. Every byte they take must be the next byte of the log:
// nothing lost, nothing repeated, except right after a gap the daemon says (a truncation).

constexpr int kResumingViewers = 6;

struct ResumingViewer {
  int fd = -1;
  std::vector<std::uint8_t> before;  // what came before the grant
  bool granted = false;
  follow::LengthReader reader;
  follow::StreamPlace place;
  std::uint64_t cursor = 0;  // history position after the last byte taken
  bool may_jump = true;      // a new start or a gap: the next bytes may come from further on
  Clock::time_point cut_at;
  std::uint64_t cuts = 0;
  std::map<int, std::uint64_t> gaps;  // by the notice's kind
  std::uint64_t bytes = 0;
  std::atomic<bool> saw_last_line{false};  // read by the main thread while it runs
  std::string failure;
};

void connect_resuming(ResumingViewer& viewer, unsigned short port, std::mt19937_64& rng) {
  viewer.fd = socket(AF_INET, SOCK_STREAM, 0);
  viewer.before.clear();
  viewer.granted = false;
  viewer.reader = follow::LengthReader{};
  viewer.reader.key = kKey;
  codec::ResumeRequest request;
  if (viewer.place.known) {
    request.kind = codec::ResumeRequest::Kind::kAt;
    request.at = follow::resume_position(viewer.place);
  }
  const std::string login = std::string("PASS ") + kPassword + std::string(codec::kLengthsSuffix) +
                            std::string(1, '\0') + codec::resume_field(request);
  const std::string frame = testing::make_frame(login, kKeyNumber);
  if (!connect_loopback(viewer.fd, port) ||
      send(viewer.fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) {
    if (viewer.failure.empty()) viewer.failure = "could not connect and log in";
  }
  viewer.cut_at = Clock::now() + std::chrono::milliseconds(uniform(rng, 500, 4000));
}

void take_resumed(ResumingViewer& viewer, History& history, std::string_view bytes) {
  if (bytes.empty()) return;
  follow::advance(viewer.place, bytes);
  viewer.bytes += bytes.size();
  const std::lock_guard<std::mutex> hold(history.lock);
  const auto from = static_cast<std::size_t>(viewer.cursor - history.base);
  const std::string_view rest = std::string_view(history.bytes).substr(from);
  std::size_t at = 0;
  if (viewer.may_jump) {
    at = rest.find(bytes);
  } else if (!rest.starts_with(bytes)) {
    at = std::string_view::npos;
  }
  if (at == std::string_view::npos) {
    if (viewer.failure.empty()) {
      viewer.failure =
          "bytes lost or repeated without a gap said, at history " + std::to_string(viewer.cursor);
    }
    viewer.may_jump = true;
    return;
  }
  viewer.may_jump = false;
  viewer.cursor += at + bytes.size();
  if (bytes.ends_with(kLastLine)) viewer.saw_last_line = true;
}

void receive_resumed(ResumingViewer& viewer, History& history, unsigned short port,
                     std::mt19937_64& rng) {
  char chunk[kReceiveSize];
  const ssize_t count = recv(viewer.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) {  // the daemon let it go: it comes back and resumes
    close(viewer.fd);
    return connect_resuming(viewer, port, rng);
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(chunk);
  std::size_t size = static_cast<std::size_t>(count);
  if (!viewer.granted) {
    viewer.before.insert(viewer.before.end(), data, data + size);
    std::string path;
    const auto end = follow::find_positions_grant(viewer.before, 0, kKey, path);
    if (!end) return;
    viewer.granted = true;
    data = viewer.before.data() + *end;
    size = viewer.before.size() - *end;
  }
  follow::add_length_receive(viewer.reader, data, size);
  const auto* output = reinterpret_cast<const char*>(viewer.reader.output.data());
  std::size_t from = 0;
  for (const auto& [at, notice] : viewer.reader.notices) {
    take_resumed(viewer, history, std::string_view(output + from, at - from));
    from = at;
    if (codec::is_gap(notice)) ++viewer.gaps[static_cast<int>(notice.kind)];
    viewer.may_jump = viewer.may_jump || codec::is_gap(notice);
    viewer.place = follow::StreamPlace{true, notice.position, 0, {}};
  }
  take_resumed(viewer, history,
               std::string_view(output + from, viewer.reader.output.size() - from));
  if (viewer.reader.malformed && viewer.failure.empty()) viewer.failure = "a malformed stream";
}

void cut_if_due(ResumingViewer& viewer, unsigned short port, std::mt19937_64& rng) {
  if (Clock::now() < viewer.cut_at) return;
  const linger reset{1, 0};
  setsockopt(viewer.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(viewer.fd);
  ++viewer.cuts;
  connect_resuming(viewer, port, rng);
}

void run_resuming(std::vector<ResumingViewer>& viewers, History& history, unsigned short port,
                  const std::atomic<bool>& load_stopped, const std::atomic<bool>& stop,
                  std::mt19937_64 rng) {
  for (ResumingViewer& viewer : viewers) connect_resuming(viewer, port, rng);
  std::vector<pollfd> ready(viewers.size());
  while (!stop) {
    {
      const std::lock_guard<std::mutex> hold(history.lock);
      history.pinned = UINT64_MAX;
      for (const ResumingViewer& viewer : viewers) {
        history.pinned = std::min(history.pinned, viewer.cursor);
      }
    }
    for (std::size_t i = 0; i < viewers.size(); ++i) ready[i] = {viewers[i].fd, POLLIN, 0};
    if (poll(ready.data(), ready.size(), 100) < 0 && errno != EINTR) std::perror("soak: poll");
    for (std::size_t i = 0; i < viewers.size(); ++i) {
      if (ready[i].revents != 0) receive_resumed(viewers[i], history, port, rng);
      // Cuts stop with the load, so that every one of them takes the last line.
      if (!load_stopped) cut_if_due(viewers[i], port, rng);
    }
  }
  for (ResumingViewer& viewer : viewers) close(viewer.fd);
}

// ---- the whole log's readers -----------------------------------------------------------------
// Viewers that page back through the log and search it while the others follow, the file
// truncated under them: each answer must be whole, its bytes contiguous and every line in it one
// the writer could have written; each request ends with its end, or with a refusal.

constexpr int kWholeReaders = 2;

struct WholeFigures {
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> lines{0};
  std::atomic<std::uint64_t> matches{0};
  std::atomic<std::uint64_t> refused{0};
  std::atomic<std::uint64_t> changed{0};
  std::atomic<std::uint64_t> turned_away{0};
  std::mutex lock;
  std::string failure;
  void fail(const std::string& why) {
    const std::lock_guard<std::mutex> hold(lock);
    if (failure.empty()) failure = why;
  }
};

// "L", the line's number, a blank and its filler, as append_line writes it; with `head`, the
// start of one, as a range that ends where the live stream started may end in a line begun.
bool is_soak_line(std::string_view line, bool head = false) {
  const bool ended = !line.empty() && line.back() == '\n';
  if (head && !ended) line = std::string_view(line.data(), line.size() + 1);  // as if it ended
  if (line.size() < 2 || line[0] != 'L' || (!head && !ended)) return head && line.size() == 2;
  const std::size_t blank = line.find(' ');
  if (blank == 1 || (blank == std::string_view::npos && !head)) return false;
  const std::size_t digits_end = std::min(blank, line.size() - 1);
  std::uint64_t number = 0;
  for (std::size_t i = 1; i < digits_end; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    number = number * 10 + static_cast<std::uint64_t>(line[i] - '0');
  }
  for (std::size_t i = blank + 1; blank != std::string_view::npos && i + 1 < line.size(); ++i) {
    if (line[i] != kFiller[(number * 7 + (i - blank - 1)) % kFiller.size()]) return false;
  }
  return true;
}

struct WholeReader {
  int fd = -1;
  follow::LengthReader reader;
  std::vector<std::vector<std::uint8_t>> answers;
  codec::Position start;
};

bool receive_whole(WholeReader& whole, Clock::time_point deadline) {
  pollfd ready{whole.fd, POLLIN, 0};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
  std::uint8_t buffer[kReceiveSize];
  const ssize_t count = recv(whole.fd, buffer, sizeof buffer, 0);
  if (count <= 0) return false;
  follow::add_length_receive(whole.reader, buffer, static_cast<std::size_t>(count));
  for (auto& answer : whole.reader.answers) whole.answers.push_back(std::move(answer));
  return !whole.reader.malformed;
}

bool connect_whole(WholeReader& whole, unsigned short port) {
  whole = WholeReader{};
  whole.fd = socket(AF_INET, SOCK_STREAM, 0);
  const codec::ResumeRequest at_end{codec::ResumeRequest::Kind::kBytes, 0, {}};
  const std::string frame =
      testing::make_frame(codec::login_request(kPassword, at_end, true), kKeyNumber);
  if (!connect_loopback(whole.fd, port) ||
      send(whole.fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) {
    return false;
  }
  std::vector<std::uint8_t> before;
  const auto deadline = Clock::now() + 5s;
  whole.reader.key = kKey;
  while (Clock::now() < deadline) {
    pollfd ready{whole.fd, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    std::uint8_t buffer[kReceiveSize];
    const ssize_t count = recv(whole.fd, buffer, sizeof buffer, 0);
    if (count <= 0) return false;  // turned away at the descriptor limit, say
    before.insert(before.end(), buffer, buffer + count);
    std::string path;
    bool granted = false;
    if (const auto end = follow::find_positions_grant(before, 0, kKey, path, &granted)) {
      follow::add_length_receive(whole.reader, before.data() + *end, before.size() - *end);
      while (whole.reader.notices.empty() && receive_whole(whole, deadline)) {
      }
      if (whole.reader.notices.empty()) return false;
      whole.start = whole.reader.notices.front().second.position;
      return granted;
    }
  }
  return false;
}

// One request to its end; false after a fault was noted.
bool ask(WholeReader& whole, const codec::WholeRequest& request, WholeFigures& figures) {
  std::string frame = testing::make_frame(codec::request_text(request), kKeyNumber);
  std::string prefix(codec::kLengthPrefixBytes, '\0');
  codec::write_length_prefix(reinterpret_cast<std::uint8_t*>(prefix.data()), frame.size());
  frame.insert(0, prefix);
  if (send(whole.fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) return true;  // dropped
  ++figures.requests;
  std::string bytes;
  std::uint64_t first = 0;
  bool match_may_be_head = false;
  const auto deadline = Clock::now() + 20s;
  for (std::size_t next = 0;;) {
    for (; next < whole.answers.size(); ++next) {
      const auto answer =
          codec::read_answer(whole.answers[next].data(), whole.answers[next].size());
      if (!answer) {
        figures.fail("an answer of an unknown kind");
        return false;
      }
      if (answer->id != request.id) continue;
      switch (answer->kind) {
        case codec::AnswerKind::kMatch:
          if (!bytes.empty() && !is_soak_line(bytes, match_may_be_head)) {
            figures.fail("a match that is no line the writer wrote: " + bytes.substr(0, 80));
            return false;
          }
          bytes = std::string(answer->bytes);
          // Newest first from where the live stream started, the last line may be one begun.
          match_may_be_head =
              request.before && answer->offset + answer->length == request.at.offset;
          ++figures.matches;
          break;
        case codec::AnswerKind::kBytes:
          if (!bytes.empty() && request.kind == codec::WholeRequest::Kind::kLines &&
              answer->offset != first + bytes.size()) {
            figures.fail("a range's bytes are not contiguous");
            return false;
          }
          if (bytes.empty()) first = answer->offset;
          bytes += answer->bytes;
          break;
        case codec::AnswerKind::kRefused:
          ++figures.refused;
          return true;
        case codec::AnswerKind::kDone:
          if (answer->why == static_cast<std::uint8_t>(codec::DoneWhy::kChanged)) {
            ++figures.changed;
            return true;
          }
          if (!bytes.empty() && !is_soak_line(bytes, match_may_be_head)) {
            figures.fail("a match that is no line the writer wrote: " + bytes.substr(0, 80));
            return false;
          }
          return true;
        case codec::AnswerKind::kRangeEnd:
          // Oldest first from an offset picked at random, the first line may be a line's tail.
          for (std::size_t at = request.before ? 0 : bytes.find('\n') + 1; at < bytes.size();) {
            const std::size_t end = std::min(bytes.find('\n', at), bytes.size() - 1) + 1;
            if (!is_soak_line(std::string_view(bytes).substr(at, end - at), end == bytes.size())) {
              figures.fail("a range holds what the writer did not write: " +
                           bytes.substr(at, std::min<std::size_t>(80, end - at)));
              return false;
            }
            ++figures.lines;
            at = end;
          }
          return true;
        case codec::AnswerKind::kProgress:
        case codec::AnswerKind::kCounters:
          break;
      }
    }
    whole.answers.clear();
    next = 0;
    if (!receive_whole(whole, deadline)) return true;  // dropped for its pace: the daemon's call
  }
}

// `pause`: the readers leave while the daemon's memory is measured, so that what their requests
// hold for the moment (a slice of the file, answers on their way) does not count.
void run_whole_reader(unsigned short port, const std::atomic<bool>& stop,
                      const std::atomic<bool>& pause, std::mt19937_64 rng, WholeFigures& figures) {
  while (!stop) {
    if (pause) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    WholeReader whole;
    if (!connect_whole(whole, port)) {
      ++figures.turned_away;
      close(whole.fd);
      std::this_thread::sleep_for(100ms);
      continue;
    }
    std::uint32_t id = 0;
    // Newest first from where the stream started, with the daemon's check of the bytes before
    // it: a file cut back and written again since is refused, not read as if it were the same.
    // Oldest first from an offset picked at random, with no check.
    codec::Position anywhere = whole.start;
    anywhere.check_length = 0;
    anywhere.check = codec::check_of(nullptr, 0);
    codec::WholeRequest request;
    for (int round = uniform(rng, 1, 20); round > 0 && !stop && !pause; --round) {
      request.id = ++id;
      request.kind = uniform(rng, 0, 2) == 0 ? codec::WholeRequest::Kind::kFind
                                             : codec::WholeRequest::Kind::kLines;
      request.before = uniform(rng, 0, 3) != 0;
      request.count = static_cast<std::uint64_t>(uniform(rng, 1, 3000));
      request.at = request.before ? whole.start : anywhere;
      if (!request.before) request.at.offset = static_cast<std::uint64_t>(uniform(rng, 0, 1 << 20));
      request.regex = uniform(rng, 0, 1) == 0;
      request.pattern = request.regex ? "^L[0-9]*7 [a-z]" : "L12";
      if (!ask(whole, request, figures)) break;
    }
    close(whole.fd);
  }
}

// ---- the hostile crowd -----------------------------------------------------------------------

enum class Kind { kVanish, kGarbage, kWrongPassword, kStall, kCrowd };

struct Hostile {
  int fd = -1;
  Kind kind = Kind::kVanish;
  bool connected = false;
  bool reads = true;  // drains what it is sent; a stalled reader does not
  Clock::time_point leave;
  std::string to_send;
};

struct HostileFigures {
  std::map<std::string, long> started;
  long full_size_blocks = 0;
  long connect_failures = 0;
};

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kVanish:
      return "connect and vanish";
    case Kind::kGarbage:
      return "send garbage";
    case Kind::kWrongPassword:
      return "wrong password";
    case Kind::kStall:
      return "stop reading";
    case Kind::kCrowd:
      return "crowd members (16 at a time, past descriptor 63)";
  }
  return "?";
}

int open_nonblocking(unsigned short port, int receive_buffer, int send_buffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (receive_buffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  if (send_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

void end_hostile(Hostile& hostile, bool reset) {
  if (reset) {
    linger abort_on_close{1, 0};
    setsockopt(hostile.fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  }
  close(hostile.fd);
  hostile.fd = -1;
}

std::string garbage(std::mt19937_64& rng, HostileFigures& figures) {
  auto length = static_cast<std::size_t>(uniform(rng, 1, 2000));
  if (uniform(rng, 0, 9) == 0) {
    length = kReceiveSize;
    ++figures.full_size_blocks;
  }
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(uniform(rng, 0, 255));
  // A trailer byte that points before the block, or far past it.
  if (uniform(rng, 0, 9) < 3) bytes.back() = static_cast<char>(uniform(rng, 0x7c, 0x88));
  return bytes;
}

void start_hostile(std::vector<Hostile>& crowd, Kind kind, unsigned short port,
                   std::mt19937_64& rng, HostileFigures& figures) {
  const auto now = Clock::now();
  Hostile hostile;
  hostile.kind = kind;
  hostile.fd = open_nonblocking(port, kind == Kind::kStall ? 4096 : 0,
                                kind == Kind::kGarbage ? 4 * 65536 : 0);
  if (hostile.fd < 0) {
    ++figures.connect_failures;
    return;
  }
  hostile.leave = now + std::chrono::milliseconds(uniform(rng, 50, 450));
  if (kind == Kind::kGarbage) hostile.to_send = garbage(rng, figures);
  if (kind == Kind::kWrongPassword) {
    const char* guesses[] = {"PASS wrong", "PASS soak-secret\n", "PASS", "PASS SOAK-SECRET"};
    hostile.to_send = testing::make_frame(guesses[uniform(rng, 0, 3)], kKeyNumber);
  }
  if (kind == Kind::kStall) {
    hostile.reads = false;
    hostile.leave = now + 8s;  // past the daemon's 5-second send limit
  }
  if (kind == Kind::kCrowd) {
    // The members of a crowd come one by one and all stay until the last has come.
    hostile.leave = now + std::chrono::milliseconds(uniform(rng, 3000, 6000));
  }
  crowd.push_back(hostile);
  ++figures.started[kind_name(kind)];
}

void serve_hostiles(std::vector<Hostile>& crowd, std::mt19937_64& rng) {
  std::vector<pollfd> ready;
  for (const Hostile& hostile : crowd) {
    const short events =
        static_cast<short>((hostile.connected ? 0 : POLLOUT) | (hostile.reads ? POLLIN : 0));
    ready.push_back({hostile.fd, events, 0});
  }
  poll(ready.data(), ready.size(), 10);
  const auto now = Clock::now();
  for (std::size_t i = 0; i < crowd.size(); ++i) {
    Hostile& hostile = crowd[i];
    if ((ready[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && !hostile.connected) {
      hostile.connected = true;
      if (hostile.kind == Kind::kVanish) {
        end_hostile(hostile, uniform(rng, 0, 1) == 0);
        continue;
      }
      if (!hostile.to_send.empty()) {
        send(hostile.fd, hostile.to_send.data(), hostile.to_send.size(), MSG_NOSIGNAL);
      }
    }
    if ((ready[i].revents & POLLIN) != 0) {
      char sink[65536];
      if (recv(hostile.fd, sink, sizeof sink, 0) == 0) end_hostile(hostile, false);
    }
    if (hostile.fd >= 0 && now >= hostile.leave) end_hostile(hostile, uniform(rng, 0, 3) == 0);
  }
  std::erase_if(crowd, [](const Hostile& hostile) { return hostile.fd < 0; });
}

void run_hostiles(unsigned short port, const std::atomic<bool>& stop, std::mt19937_64 rng,
                  HostileFigures& figures) {
  std::vector<Hostile> crowd;
  auto next = Clock::now();
  auto next_stall = Clock::now() + 15s;
  auto next_crowd = Clock::now() + 5s;
  int crowd_due = 0;  // members of the current crowd still to come
  while (!stop) {
    const auto now = Clock::now();
    if (now >= next_stall) {
      start_hostile(crowd, Kind::kStall, port, rng, figures);
      next_stall = now + std::chrono::seconds(uniform(rng, 20, 40));
    } else if (now >= next_crowd) {
      // 16 on top of the 50 well-behaved viewers: more than the 64 descriptors can hold.
      if (crowd_due == 0) crowd_due = 16;
      start_hostile(crowd, Kind::kCrowd, port, rng, figures);
      next_crowd = --crowd_due > 0 ? now + 50ms : now + std::chrono::seconds(uniform(rng, 5, 15));
    } else if (now >= next) {
      const Kind kinds[] = {Kind::kVanish, Kind::kGarbage, Kind::kWrongPassword};
      start_hostile(crowd, kinds[uniform(rng, 0, 2)], port, rng, figures);
      next = now + std::chrono::milliseconds(uniform(rng, 20, 220));
    }
    serve_hostiles(crowd, rng);
  }
  for (Hostile& hostile : crowd) end_hostile(hostile, false);
}

// ---- the run ---------------------------------------------------------------------------------

bool wait_for(const std::function<bool()>& done, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::string temporary_folder() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/vantrel-soak-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("soak: mkdtemp");
    std::exit(2);
  }
  return pattern;
}

bool alphabet_cuts_cleanly(const std::string& acknowledgement) {
  const std::string bytes =
      std::string(kFiller) + "L \n0123456789" + lengths_granted(acknowledgement);
  return std::none_of(bytes.begin(), bytes.end(), [](char c) {
    const int scrambled = static_cast<std::uint8_t>(c) ^ kKey[0];
    return scrambled >= 1 && scrambled <= 4;
  });
}

int run(const std::string& program, int seconds, std::uint64_t seed) {
  signal(SIGPIPE, SIG_IGN);
  const std::string folder = temporary_folder();
  const std::string log = folder + "/soak.log";
  const unsigned short tls_port = testing::free_port();
  std::ofstream(folder + "/vantrel.cfg")
      << "password = \"" << kPassword << "\"\nkey = \"3e07b1d4\"\ntls_port = \"" << tls_port
      << "\"\ntls_cert = \"tls/daemon.pem\"\ntls_key = \"tls/daemon-key.pem\"\n"
      << "tls_ca = \"tls/ca.pem\"\n";
  std::ofstream(log).flush();
  const std::string certificates =
      "sh " VANTREL_CERTS_SCRIPT " " + folder + "/tls --name 127.0.0.1 --viewer soak >/dev/null";
  if (std::system(certificates.c_str()) != 0) {
    std::fprintf(stderr, "soak: cannot make the certificates\n");
    return 2;
  }
  const std::string acknowledgement = "YIPI " + log;
  if (!alphabet_cuts_cleanly(acknowledgement)) {
    std::fprintf(stderr, "soak: the temporary path holds bytes that confuse the frame cutter\n");
    return 2;
  }

  const unsigned short port = testing::free_port();
  Daemon daemon;
  Reports reports;
  if (!start_daemon(daemon, program, folder, port)) give_up(daemon, "cannot start the daemon");
  std::thread report_reader(read_reports, daemon.output, std::ref(reports));
  if (!wait_for([&] { return report_count(reports, kReportKinds[0]) > 0; }, 10s)) {
    give_up(daemon, "the daemon did not start");
  }
  std::printf("soak: %d s, seed %llu, daemon pid %d on port %u (TLS %u)\n", seconds,
              static_cast<unsigned long long>(seed), daemon.pid, port, tls_port);
  const unsigned short bridge_port = testing::free_port();
  testing::Process bridge;
  const std::string tls = folder + "/tls/";
  if (!bridge.start(
          "/usr/bin/socat",
          {"socat", "-d", "-d",
           "TCP-LISTEN:" + std::to_string(bridge_port) +
               ",bind=127.0.0.1,reuseaddr,fork,backlog=64",
           "OPENSSL:127.0.0.1:" + std::to_string(tls_port) + ",cafile=" + tls +
               "ca.pem,cert=" + tls + "viewer-soak.pem,key=" + tls + "viewer-soak-key.pem"},
          folder) ||
      !bridge.wait_until([&] { return bridge.err().find("listening on") != std::string::npos; })) {
    give_up(daemon, "cannot start the TLS bridge");
  }

  // The well-behaved viewers connect one by one, so they hold the lowest descriptors.
  std::vector<GoodViewer> viewers(kGoodViewers);
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    viewers[i].fd = socket(AF_INET, SOCK_STREAM, 0);
    const long connected = static_cast<long>(i) + 1;
    const bool over_tls = i % kTlsEvery == kTlsEvery - 1;
    if (!connect_loopback(viewers[i].fd, over_tls ? bridge_port : port) ||
        !wait_for([&] { return report_count(reports, kReportKinds[1]) >= connected; }, 10s)) {
      give_up(daemon, "a well-behaved viewer could not connect");
    }
  }
  History history;
  std::atomic<bool> stop_viewers{false};
  std::atomic<int> saw_last_line{0};
  std::thread viewer_thread(run_viewers, std::ref(viewers), std::ref(history),
                            std::cref(acknowledgement), std::cref(stop_viewers),
                            std::ref(saw_last_line));
  const std::string password = std::string("PASS ") + kPassword;
  const std::string login = testing::make_frame(password, kKeyNumber);
  const std::string login_for_lengths =
      testing::make_frame(password + std::string(codec::kLengthsSuffix), kKeyNumber);
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    viewers[i].asks_lengths = i % 2 == 1;
    const std::string& frame = viewers[i].asks_lengths ? login_for_lengths : login;
    send(viewers[i].fd, frame.data(), frame.size(), MSG_NOSIGNAL);
  }
  if (!wait_for([&] { return report_count(reports, "successfully logged in") >= kGoodViewers; },
                20s)) {
    std::fprintf(stderr, "soak: not every viewer could log in\n");
  }

  std::mt19937_64 rng(seed);
  std::atomic<bool> stop_load{false};
  WriterFigures writer;
  HostileFigures hostile;
  const auto load_start = Clock::now();
  std::thread writer_thread(run_writer, log, std::ref(history), std::cref(stop_load),
                            std::mt19937_64(rng()), std::ref(writer));
  std::thread hostile_thread(run_hostiles, port, std::cref(stop_load), std::mt19937_64(rng()),
                             std::ref(hostile));
  std::vector<ResumingViewer> resuming(kResumingViewers);
  std::thread resuming_thread(run_resuming, std::ref(resuming), std::ref(history), port,
                              std::cref(stop_load), std::cref(stop_viewers),
                              std::mt19937_64(rng()));

  WholeFigures whole;
  std::atomic<bool> pause_whole{false};
  std::vector<std::thread> whole_threads;
  for (int i = 0; i < kWholeReaders; ++i) {
    whole_threads.emplace_back(run_whole_reader, port, std::cref(stop_load), std::cref(pause_whole),
                               std::mt19937_64(rng()), std::ref(whole));
  }
  const auto resident_without_readers = [&] {
    pause_whole = true;
    std::this_thread::sleep_for(1s);  // their requests end, or the daemon drops them
    const std::int64_t resident = resident_kib(daemon.pid);
    pause_whole = false;
    return resident;
  };

  std::int64_t rss_early = -1;
  const auto end = load_start + std::chrono::seconds(seconds);
  bool up = true;
  while (Clock::now() < end && (up = daemon_running(daemon))) {
    std::this_thread::sleep_for(200ms);
    if (rss_early < 0 && Clock::now() >= load_start + 10s) rss_early = resident_without_readers();
  }
  const std::int64_t rss_end = up ? resident_without_readers() : -1;
  stop_load = true;
  writer_thread.join();
  hostile_thread.join();
  for (std::thread& thread : whole_threads) thread.join();
  {
    const std::lock_guard<std::mutex> hold(history.lock);
    history.bytes += kLastLine;
    std::ofstream(log, std::ios::app) << kLastLine;
  }
  // Polled within the 2-second wait: a viewer still served has it long before the deadline.
  const bool all_saw_last_line = wait_for([&] { return saw_last_line == kGoodViewers; }, 20s);
  const auto all_resumed = [&] {
    return std::ranges::all_of(resuming,
                               [](const ResumingViewer& v) { return v.saw_last_line.load(); });
  };
  wait_for(all_resumed, 20s);
  up = up && daemon_running(daemon);
  stop_viewers = true;
  viewer_thread.join();
  resuming_thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - load_start).count();
  if (up) kill(daemon.pid, SIGTERM);
  waitpid(daemon.pid, nullptr, 0);
  report_reader.join();

  // ---- the figures ----
  int logged_in = 0;
  int with_lengths = 0;
  int dropped = 0;
  int failed = 0;
  int missed_last_line = 0;
  std::uint64_t frames_min = UINT64_MAX, frames_max = 0, bytes_min = UINT64_MAX, bytes_max = 0;
  std::uint64_t bytes_total = 0, receives = 0, run_together = 0, split = 0;
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    const GoodViewer& viewer = viewers[i];
    logged_in += viewer.logged_in;
    with_lengths += viewer.lengths;
    dropped += viewer.dropped;
    missed_last_line += !viewer.saw_last_line;
    if (!viewer.failure.empty()) {
      ++failed;
      std::printf("  viewer %zu: %s\n", i, viewer.failure.c_str());
    }
    if (viewer.dropped) std::printf("  viewer %zu dropped: %s\n", i, viewer.drop.c_str());
    frames_min = std::min(frames_min, viewer.frames);
    frames_max = std::max(frames_max, viewer.frames);
    bytes_min = std::min(bytes_min, viewer.payload_bytes);
    bytes_max = std::max(bytes_max, viewer.payload_bytes);
    bytes_total += viewer.payload_bytes;
    receives += viewer.receives;
    run_together += viewer.run_together;
    split += viewer.split;
  }
  std::printf("duration: %.1f s of load\n", elapsed);
  std::printf("writer: %llu bytes in %llu lines, %llu bursts over one frame, %llu truncations\n",
              static_cast<unsigned long long>(writer.bytes),
              static_cast<unsigned long long>(writer.lines),
              static_cast<unsigned long long>(writer.bursts),
              static_cast<unsigned long long>(writer.truncations));
  std::printf(
      "viewers: %d of %d logged in (%d with lengths), %d dropped, %d received a wrong frame, "
      "%d missed the last line\n",
      logged_in, kGoodViewers, with_lengths, dropped, failed, missed_last_line);
  std::printf(
      "  frames each: %llu to %llu; log bytes each: %llu to %llu; all: %llu (%.1f MiB)\n",
      static_cast<unsigned long long>(frames_min), static_cast<unsigned long long>(frames_max),
      static_cast<unsigned long long>(bytes_min), static_cast<unsigned long long>(bytes_max),
      static_cast<unsigned long long>(bytes_total), static_cast<double>(bytes_total) / 1048576.0);
  std::printf("  receives: %llu; run-together blocks: %llu; frames split over receives: %llu\n",
              static_cast<unsigned long long>(receives),
              static_cast<unsigned long long>(run_together),
              static_cast<unsigned long long>(split));
  std::uint64_t cuts = 0, resumed_bytes = 0;
  std::map<int, std::uint64_t> gaps;
  int resuming_failed = 0;
  for (std::size_t i = 0; i < resuming.size(); ++i) {
    cuts += resuming[i].cuts;
    for (const auto& [kind, count] : resuming[i].gaps) gaps[kind] += count;
    resumed_bytes += resuming[i].bytes;
    if (!resuming[i].failure.empty()) {
      ++resuming_failed;
      std::printf("  resuming viewer %zu: %s\n", i, resuming[i].failure.c_str());
    }
  }
  std::string said;
  for (const auto& [kind, count] : gaps) {
    said += " kind " + std::to_string(kind) + ": " + std::to_string(count) + ";";
  }
  std::printf(
      "resuming viewers: %d, %llu cuts, gaps said by kind:%s %.1f MiB, %d lost or "
      "repeated bytes without a gap said, %d missed the last line\n",
      kResumingViewers, static_cast<unsigned long long>(cuts), said.c_str(),
      static_cast<double>(resumed_bytes) / 1048576.0, resuming_failed,
      static_cast<int>(std::ranges::count_if(
          resuming, [](const ResumingViewer& v) { return !v.saw_last_line; })));
  std::printf(
      "whole log: %d readers, %llu requests, %llu lines and %llu matches checked, %llu refused, "
      "%llu ended by a change, %llu connections turned away%s%s\n",
      kWholeReaders, static_cast<unsigned long long>(whole.requests.load()),
      static_cast<unsigned long long>(whole.lines.load()),
      static_cast<unsigned long long>(whole.matches.load()),
      static_cast<unsigned long long>(whole.refused.load()),
      static_cast<unsigned long long>(whole.changed.load()),
      static_cast<unsigned long long>(whole.turned_away.load()), whole.failure.empty() ? "" : "; ",
      whole.failure.c_str());
  std::printf("hostile: ");
  for (const auto& [kind, count] : hostile.started) std::printf("%s %ld; ", kind.c_str(), count);
  std::printf("full-size blocks %ld; connects refused %ld\n", hostile.full_size_blocks,
              hostile.connect_failures);
  std::printf("daemon reports:\n");
  for (const char* kind : kReportKinds) {
    std::printf("  %-40s %ld\n", kind, report_count(reports, kind));
  }
  std::printf("highest descriptor served: %d\n", reports.highest_descriptor);
  std::printf("resident memory: %lld KiB after 10 s, %lld KiB at the end\n",
              static_cast<long long>(rss_early), static_cast<long long>(rss_end));

  std::vector<std::string> faults;
  if (!up) faults.push_back("the daemon stopped");
  if (rss_early < 0 || rss_end < 0 || std::llabs(rss_end - rss_early) > kMemoryLimit) {
    faults.push_back("resident memory moved by more than 1 MiB");
  }
  if (logged_in != kGoodViewers) faults.push_back("a viewer was not logged in");
  if (with_lengths != kGoodViewers / 2) faults.push_back("a viewer that asked got no lengths");
  if (dropped != 0) faults.push_back("a well-behaved viewer was dropped");
  if (failed != 0) faults.push_back("a viewer received what the writer did not append");
  if (bytes_min == 0) faults.push_back("a viewer received no log at all");
  if (!all_saw_last_line) faults.push_back("a viewer did not receive the line appended last");
  if (resuming_failed != 0) faults.push_back("a resuming viewer lost or repeated bytes");
  if (!whole.failure.empty()) faults.push_back("a whole log's answer was wrong");
  if (whole.lines == 0 || whole.matches == 0) faults.push_back("the whole log was not read");
  if (!all_resumed()) faults.push_back("a resuming viewer did not receive the line appended last");
  if (!faults.empty()) {
    std::printf("daemon's last reports:\n");
    for (const std::string& line : reports.last_lines) std::printf("  %s\n", line.c_str());
  }
  for (const std::string& fault : faults) std::printf("FAULT: %s\n", fault.c_str());
  std::printf("soak: %s\n", faults.empty() ? "passed" : "FAILED");
  std::filesystem::remove_all(folder);
  return faults.empty() ? 0 : 1;
}

}  // namespace
}  // namespace vantrel::soak

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DAEMON SECONDS [SEED]\n", argv[0]);
    return 2;
  }
  const int seconds = std::atoi(argv[2]);
  const std::uint64_t seed =
      argc > 3 ? std::strtoull(argv[3], nullptr, 10) : static_cast<std::uint64_t>(time(nullptr));
  if (seconds < 15) {
    std::fprintf(stderr, "soak: SECONDS must be at least 15: memory is first measured at 10\n");
    return 2;
  }
  // The daemon runs in a folder of its own.
  return vantrel::soak::run(std::filesystem::absolute(argv[1]).string(), seconds, seed);
}
