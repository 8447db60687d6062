// Fan-out benchmark: the real daemon on loopback with N = 1, 10 and 60 viewers.
// Usage: fanout_bench DAEMON [FRAMES] [APPENDS]
//
// For each N, on a fresh daemon:
//  - throughput: rounds of FRAMES (default 400) growths of 65532 bytes, each a full frame,
//    sent to all N viewers. The daemon polls the log when its 2-second wait ends or a viewer
//    speaks, so viewer 0 wakes it with an empty frame after each append (the daemon's handling
//    of that message, and its echo, are part of the cost measured). The daemon's CPU time (from
//    /proc/PID/schedstat) per MiB delivered to all viewers together, the median of 5 rounds;
//  - the same figure for the baseline, measured in this process in the same rounds: one
//    memcpy of each frame into a buffer per viewer, the least any delivery could cost;
//  - peak resident memory of the daemon (VmHWM);
// The daemon runs on CPU 0, this process (the viewers) on CPU 1.
//  - delay from an append to its arrival at each viewer, over APPENDS (default 100) short
//    appends at random moments: idle (nothing wakes the daemon, so its 2-second wait sets the
//    delay) and woken (viewer 0 speaks right after the append, as an active viewer would).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/frame.h"
#include "support/process.h"
#include "support/viewer.h"

namespace vantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kKeyNumber = 0x3e07b1d4;
constexpr std::size_t kPayload = codec::kMaxPayload;  // one full frame per growth
constexpr std::size_t kFrame = kPayload + 1;
const settings::Key kKey = settings::key_from_number(kKeyNumber);
constexpr int kRounds = 5;  // of the throughput measurement

struct Daemon {
  pid_t pid = -1;
  int output = -1;     // standard output and error, merged
  std::string folder;  // configuration and log file
  std::string log;
  unsigned short port = 0;
  std::string pending_output;
  int connects = 0;  // "Connect from host" reports seen
};

struct Viewer {
  int fd = -1;
  std::uint64_t bytes = 0;  // received in all
  std::string pending;      // received bytes not yet cut into frames
};

pid_t running_daemon = -1;  // stopped by give_up too

// The daemon and the viewers each get a core of their own, as they would on separate hosts:
// left to the scheduler, they share one in some runs and not in others, and the daemon's CPU
// time per MiB halves or doubles with that.
constexpr int kDaemonCpu = 0;
constexpr int kViewerCpu = 1;

void pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<std::size_t>(cpu), &set);
  sched_setaffinity(0, sizeof set, &set);  // a machine with one core runs the bench unpinned
}

[[noreturn]] void give_up(const char* why) {
  std::fprintf(stderr, "fanout_bench: %s\n", why);
  if (running_daemon > 0) kill(running_daemon, SIGTERM);
  std::exit(2);
}

// Reads what the daemon printed so far, so that it never blocks on a full pipe, and counts
// the viewers it took in.
void drain_output(Daemon& daemon) {
  char chunk[8192];
  for (;;) {
    const ssize_t count = read(daemon.output, chunk, sizeof chunk);
    if (count <= 0) break;
    daemon.pending_output.append(chunk, static_cast<std::size_t>(count));
  }
  for (std::size_t end = daemon.pending_output.find('\n'); end != std::string::npos;
       end = daemon.pending_output.find('\n')) {
    if (daemon.pending_output.rfind("vantrel: Connect from host", 0) == 0) ++daemon.connects;
    daemon.pending_output.erase(0, end + 1);
  }
}

void start_daemon(Daemon& daemon, const std::string& program) {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/vantrel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) give_up("mkdtemp");
  daemon.folder = pattern;
  daemon.log = daemon.folder + "/bench.log";
  daemon.port = testing::free_port();
  std::ofstream(daemon.folder + "/vantrel.cfg") << "password = \"bench\"\nkey = \"3e07b1d4\"\n";
  std::ofstream(daemon.log).flush();
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) give_up("pipe");
  const std::string port = std::to_string(daemon.port);
  daemon.pid = fork();
  if (daemon.pid < 0) give_up("fork");
  if (daemon.pid == 0) {
    const int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    dup2(pipe_ends[1], 1);
    dup2(pipe_ends[1], 2);
    // Viewers are counted in descriptors: the daemon starts with 0, 1 and 2 alone, whatever
    // this process inherited.
    close_range(3, ~0u, 0);
    pin_to_cpu(kDaemonCpu);
    fcntl(1, F_SETFL, 0);  // the daemon writes blocking, as it would to a terminal
    if (chdir(daemon.folder.c_str()) != 0) _exit(121);
    execl(program.c_str(), "vantrel", "-c", "vantrel.cfg", "-p", port.c_str(), "-f", "bench.log",
          "-q", static_cast<char*>(nullptr));
    _exit(120);
  }
  close(pipe_ends[1]);
  daemon.output = pipe_ends[0];
  running_daemon = daemon.pid;
}

void stop_daemon(Daemon& daemon) {
  kill(daemon.pid, SIGTERM);
  waitpid(daemon.pid, nullptr, 0);
  running_daemon = -1;
  close(daemon.output);
  std::filesystem::remove_all(daemon.folder);
}

// CPU time the process has run, in nanoseconds, user and system together.
std::uint64_t cpu_ns(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
  std::uint64_t on_cpu = 0;
  stat >> on_cpu;
  return on_cpu;
}

std::uint64_t thread_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::int64_t peak_resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

void connect_viewers(Daemon& daemon, std::vector<Viewer>& viewers) {
  for (Viewer& viewer : viewers) {
    viewer.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(daemon.port);
    if (connect(viewer.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      give_up("connect");
    }
    // One at a time: the daemon takes one viewer per turn and keeps a backlog of one.
    const int wanted = daemon.connects + 1;
    const auto deadline = Clock::now() + 10s;
    while (daemon.connects < wanted) {
      if (Clock::now() > deadline) give_up("the daemon did not take a viewer in");
      std::this_thread::sleep_for(1ms);
      drain_output(daemon);
    }
  }
}

void append(const std::string& path, std::string_view bytes) {
  const int file = open(path.c_str(), O_WRONLY | O_APPEND);
  if (file < 0 || write(file, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    give_up("append to the log");
  }
  close(file);
}

// An empty frame: the smallest message that wakes the daemon. It is echoed as one byte.
void wake(const Viewer& viewer) {
  const char empty_frame = 1;
  send(viewer.fd, &empty_frame, 1, MSG_NOSIGNAL);
}

// Reads whatever has arrived for each viewer; calls `arrived` with the viewer's index and the
// bytes. Waits at most `limit` for the first of them.
template <typename Arrived>
void receive_some(std::vector<Viewer>& viewers, Clock::duration limit, Arrived arrived) {
  std::vector<pollfd> ready;
  for (const Viewer& viewer : viewers) ready.push_back({viewer.fd, POLLIN, 0});
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
  if (poll(ready.data(), ready.size(), static_cast<int>(std::max<std::int64_t>(ms, 0))) <= 0) {
    return;
  }
  static char chunk[1 << 20];
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    if (ready[i].revents == 0) continue;
    const ssize_t count = recv(viewers[i].fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (count == 0) give_up("the daemon dropped a viewer");
    if (count < 0) continue;
    viewers[i].bytes += static_cast<std::uint64_t>(count);
    arrived(i, std::string_view(chunk, static_cast<std::size_t>(count)));
  }
}

// ---- throughput ------------------------------------------------------------------------------

struct Throughput {
  double daemon_ns_per_mib = 0;
  double memcpy_ns_per_mib = 0;
};

Throughput measure_throughput(Daemon& daemon, std::vector<Viewer>& viewers, int frames) {
  std::string growth(kPayload, '\0');
  for (std::size_t i = 0; i < growth.size(); ++i) growth[i] = static_cast<char>('a' + i % 26);
  growth.back() = '\n';
  std::vector<std::uint64_t> expected(viewers.size());
  for (std::size_t i = 0; i < viewers.size(); ++i) expected[i] = viewers[i].bytes;

  const std::uint64_t cpu_before = cpu_ns(daemon.pid);
  for (int frame = 0; frame < frames; ++frame) {
    append(daemon.log, growth);
    wake(viewers[0]);
    expected[0] += 1;  // the echo of the empty frame
    for (std::uint64_t& bytes : expected) bytes += kFrame;
    const auto deadline = Clock::now() + 10s;
    for (;;) {
      bool all = true;
      for (std::size_t i = 0; i < viewers.size(); ++i) all = all && viewers[i].bytes >= expected[i];
      if (all) break;
      if (Clock::now() > deadline) give_up("a frame did not reach every viewer");
      receive_some(viewers, 100ms, [](std::size_t, std::string_view) {});
      drain_output(daemon);
    }
  }
  const std::uint64_t cpu_daemon = cpu_ns(daemon.pid) - cpu_before;
  const double mib = static_cast<double>(kFrame) * frames * static_cast<double>(viewers.size()) /
                     (1024.0 * 1024.0);

  // The floor: one copy of each frame into a buffer of each viewer's.
  std::vector<std::unique_ptr<char[]>> destinations;
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    destinations.push_back(std::make_unique<char[]>(kFrame));
  }
  std::string frame_bytes(codec::encoded_room(kPayload), '\0');
  frame_bytes.replace(0, kPayload, growth);
  codec::encode_frame(reinterpret_cast<std::uint8_t*>(frame_bytes.data()), kPayload, kKey);
  volatile char sink = 0;
  const std::uint64_t copy_before = thread_cpu_ns();
  for (int frame = 0; frame < frames; ++frame) {
    for (auto& destination : destinations) {
      std::memcpy(destination.get(), frame_bytes.data(), kFrame);
      sink = sink + destination[static_cast<std::size_t>(frame) % kFrame];
    }
  }
  const std::uint64_t cpu_copy = thread_cpu_ns() - copy_before;
  return {static_cast<double>(cpu_daemon) / mib, static_cast<double>(cpu_copy) / mib};
}

// ---- delay -----------------------------------------------------------------------------------

struct Delays {
  std::vector<double> samples_ms;  // one per append and viewer
  int missing = 0;
};

// Appends `count` numbered lines at random moments (`gap` apart at most) and measures when
// each reaches each viewer. With `woken`, viewer 0 speaks right after each append.
Delays measure_delays(Daemon& daemon, std::vector<Viewer>& viewers, int count, Clock::duration gap,
                      bool woken, std::mt19937_64& rng) {
  std::vector<Clock::time_point> appended(static_cast<std::size_t>(count));
  std::vector<int> arrivals(static_cast<std::size_t>(count), 0);
  Delays delays;
  auto take = [&](std::size_t v, std::string_view bytes) {
    const auto now = Clock::now();
    Viewer& viewer = viewers[v];
    viewer.pending.append(bytes);
    for (std::size_t length = testing::first_frame_length(viewer.pending, 1, kKeyNumber);
         length > 0; length = testing::first_frame_length(viewer.pending, 1, kKeyNumber)) {
      std::string text = viewer.pending.substr(0, length);
      text.push_back('\0');
      const std::size_t end =
          codec::decode_frame(reinterpret_cast<std::uint8_t*>(text.data()), length, kKey);
      text.resize(end);
      viewer.pending.erase(0, length);
      for (std::size_t at = text.find('T'); at != std::string::npos; at = text.find('T', at + 1)) {
        const auto id = static_cast<std::size_t>(std::atoi(text.c_str() + at + 1));
        if (id >= appended.size()) continue;
        delays.samples_ms.push_back(
            std::chrono::duration<double, std::milli>(now - appended[id]).count());
        ++arrivals[id];
      }
    }
  };
  const auto gap_us = std::chrono::duration_cast<std::chrono::microseconds>(gap).count();
  std::uniform_int_distribution<std::int64_t> pause_us(0, gap_us);
  for (int id = 0; id < count; ++id) {
    const auto moment = Clock::now() + std::chrono::microseconds(pause_us(rng));
    while (Clock::now() < moment) {
      receive_some(
          viewers,
          std::chrono::duration_cast<std::chrono::milliseconds>(moment - Clock::now() + 999us),
          take);
      drain_output(daemon);
    }
    std::string line = std::to_string(id);  // "T" + ... trips a false -Wrestrict in g++ 12
    line.insert(0, 1, 'T');
    line += '\n';
    appended[static_cast<std::size_t>(id)] = Clock::now();
    append(daemon.log, line);
    if (woken) wake(viewers[0]);
  }
  const auto deadline = Clock::now() + 10s;
  const auto all_arrived = [&] {
    return std::all_of(arrivals.begin(), arrivals.end(),
                       [&](int n) { return n >= static_cast<int>(viewers.size()); });
  };
  while (!all_arrived() && Clock::now() < deadline) {
    receive_some(viewers, 100ms, take);
    drain_output(daemon);
  }
  for (int n : arrivals) delays.missing += static_cast<int>(viewers.size()) - n;
  return delays;
}

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return -1;
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
  return samples[index];
}

// ---- the run ---------------------------------------------------------------------------------

struct Row {
  std::size_t viewers = 0;
  Throughput throughput;
  std::int64_t peak_kib = 0;
  Delays idle;
  Delays woken;
};

Row measure(const std::string& program, std::size_t count, int frames, int appends,
            std::mt19937_64& rng) {
  Daemon daemon;
  start_daemon(daemon, program);
  const auto deadline = Clock::now() + 10s;
  while (daemon.pending_output.find("vantrel: Waiting for clients") == std::string::npos) {
    if (Clock::now() > deadline) give_up("the daemon did not start");
    std::this_thread::sleep_for(1ms);
    char chunk[4096];
    const ssize_t got = read(daemon.output, chunk, sizeof chunk);
    if (got > 0) daemon.pending_output.append(chunk, static_cast<std::size_t>(got));
  }
  daemon.pending_output.clear();
  std::vector<Viewer> viewers(count);
  connect_viewers(daemon, viewers);

  Row row;
  row.viewers = count;
  // CPU time on a shared machine wanders from round to round: the median of several.
  std::vector<double> daemon_rounds;
  std::vector<double> memcpy_rounds;
  for (int round = 0; round < kRounds; ++round) {
    const Throughput one = measure_throughput(daemon, viewers, frames);
    daemon_rounds.push_back(one.daemon_ns_per_mib);
    memcpy_rounds.push_back(one.memcpy_ns_per_mib);
  }
  row.throughput = {percentile(daemon_rounds, 0.5), percentile(memcpy_rounds, 0.5)};
  for (Viewer& viewer : viewers) viewer.pending.clear();  // every frame was whole and is read
  row.idle = measure_delays(daemon, viewers, appends, 400ms, false, rng);
  row.woken = measure_delays(daemon, viewers, appends, 20ms, true, rng);
  row.peak_kib = peak_resident_kib(daemon.pid);
  for (Viewer& viewer : viewers) close(viewer.fd);
  stop_daemon(daemon);
  return row;
}

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  using namespace vantrel::bench;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DAEMON [FRAMES] [APPENDS]\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  pin_to_cpu(kViewerCpu);
  const std::string program = std::filesystem::absolute(argv[1]).string();
  const int frames = argc > 2 ? std::atoi(argv[2]) : 400;
  const int appends = argc > 3 ? std::atoi(argv[3]) : 100;
  if (frames < 1 || appends < 1) give_up("FRAMES and APPENDS must be at least 1");
  std::mt19937_64 rng(20240601);

  std::printf(
      "fan-out: %d rounds of %d frames of %zu bytes per N; delays over %d appends per N; "
      "daemon on CPU %d, viewers on CPU %d\n",
      kRounds, frames, kFrame, appends, kDaemonCpu, kViewerCpu);
  std::printf("%4s %14s %14s %7s %10s %22s %22s\n", "N", "daemon ms/MiB", "memcpy ms/MiB", "ratio",
              "peak KiB", "idle delay p50/p99 ms", "woken delay p50/p99 ms");
  bool complete = true;
  for (const std::size_t count : {std::size_t{1}, std::size_t{10}, std::size_t{60}}) {
    const Row row = measure(program, count, frames, appends, rng);
    const double daemon_ms = row.throughput.daemon_ns_per_mib / 1e6;
    const double memcpy_ms = row.throughput.memcpy_ns_per_mib / 1e6;
    std::printf("%4zu %14.3f %14.4f %7.1f %10lld %10.0f / %9.0f %10.2f / %9.2f\n", row.viewers,
                daemon_ms, memcpy_ms, daemon_ms / memcpy_ms, static_cast<long long>(row.peak_kib),
                percentile(row.idle.samples_ms, 0.5), percentile(row.idle.samples_ms, 0.99),
                percentile(row.woken.samples_ms, 0.5), percentile(row.woken.samples_ms, 0.99));
    std::fflush(stdout);
    if (row.idle.missing + row.woken.missing > 0) {
      std::printf("     %d appends did not reach every viewer in time\n",
                  row.idle.missing + row.woken.missing);
      complete = false;
    }
  }
  std::printf("ratio: the daemon's CPU time per MiB delivered over one memcpy per viewer\n");
  return complete ? 0 : 1;
}
