// Running the real daemon from tests: a temporary folder, a free loopback port, and a child
// process whose standard output and error are captured while it runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vantrel::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A folder that is removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);
void append_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
unsigned short free_port();

struct Outcome {
  std::string out;
  std::string err;
  int exit_code = -1000;  // the exit status as a shell shows it, when the process exited
  int signal = 0;         // the signal that ended it, when one did
};

// A child process running `program` with `argv` (argv[0] included, so the tests choose the
// program path the child sees), in folder `cwd`, with its output captured.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts the program; again after an earlier run has ended, with fresh output. `environment`
  // holds NAME=VALUE entries added to the child's environment.
  bool start(const std::string& program, const std::vector<std::string>& argv,
             const std::string& cwd, const std::vector<std::string>& environment = {});
  // Collects output until `done` holds or the time runs out; returns whether it held.
  bool wait_until(const std::function<bool()>& done, Clock::duration limit = 10s);
  // Waits until standard output holds `needle` at least `times` times.
  bool wait_for_output(const std::string& needle, int times = 1, Clock::duration limit = 10s);
  // Waits for the process to end by itself.
  bool wait_for_exit(Clock::duration limit = 10s);
  bool running();
  // Ends a running process with SIGTERM and waits for it; returns its outcome.
  Outcome stop();
  int count(const std::string& needle) const;
  const std::string& out() const { return outcome_.out; }
  const std::string& err() const { return outcome_.err; }
  const Outcome& outcome() const { return outcome_; }
  pid_t pid() const { return pid_; }

 private:
  void pump(int timeout_ms);
  bool reap(bool block);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool ended_ = false;
  Outcome outcome_;
};

// Runs the program to its end and returns what it printed and how it ended.
Outcome run_to_exit(const std::string& program, const std::vector<std::string>& argv,
                    const std::string& cwd, Clock::duration limit = 10s,
                    const std::vector<std::string>& environment = {});

}  // namespace vantrel::testing
