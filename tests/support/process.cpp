#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantrel::testing {

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/vantrel-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void append_file(const std::string& path, const std::string& content) {
  // One write, so that a poll rarely sees half of it.
  const int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (file < 0) return;
  const ssize_t written = write(file, content.data(), content.size());
  close(file);
  if (written != static_cast<ssize_t>(content.size())) std::abort();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

unsigned short free_port() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  close(probe);
  return ntohs(address.sin_port);
}

Process::~Process() {
  if (pid_ > 0 && !ended_) stop();
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool Process::start(const std::string& program, const std::vector<std::string>& argv,
                    const std::string& cwd, const std::vector<std::string>& environment) {
  // A process object may run its program again once the last run has ended.
  if (pid_ > 0 && !ended_) return false;
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
  out_fd_ = err_fd_ = -1;
  ended_ = false;
  outcome_ = Outcome{};
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return false;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    const int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(121);
    for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    execv(program.c_str(), args.data());
    _exit(120);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  return true;
}

void Process::pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(fds, 2, timeout_ms) <= 0) return;
  std::string* sinks[2] = {&outcome_.out, &outcome_.err};
  int* owners[2] = {&out_fd_, &err_fd_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char chunk[4096];
    const ssize_t count = read(fds[i].fd, chunk, sizeof chunk);
    if (count > 0) {
      sinks[i]->append(chunk, static_cast<std::size_t>(count));
    } else {
      close(*owners[i]);
      *owners[i] = -1;
    }
  }
}

bool Process::reap(bool block) {
  if (ended_) return true;
  int status = 0;
  if (waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return false;
  ended_ = true;
  if (WIFEXITED(status)) outcome_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome_.signal = WTERMSIG(status);
  return true;
}

bool Process::wait_until(const std::function<bool()>& done, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    if (out_fd_ < 0 && err_fd_ < 0) {
      if (reap(false)) return done();
      usleep(1000);
    } else {
      pump(20);
    }
  }
  return true;
}

bool Process::wait_for_output(const std::string& needle, int times, Clock::duration limit) {
  return wait_until([&] { return count(needle) >= times; }, limit);
}

bool Process::wait_for_exit(Clock::duration limit) {
  // Output first: the pipes close when the process ends.
  const bool closed = wait_until([&] { return out_fd_ < 0 && err_fd_ < 0; }, limit);
  return closed && reap(true);
}

bool Process::running() {
  pump(0);
  return !reap(false);
}

Outcome Process::stop() {
  if (!reap(false)) {
    kill(pid_, SIGTERM);
    wait_for_exit(10s);
    reap(true);
  }
  while (out_fd_ >= 0 || err_fd_ >= 0) pump(100);
  return outcome_;
}

int Process::count(const std::string& needle) const {
  int found = 0;
  for (std::size_t at = outcome_.out.find(needle); at != std::string::npos;
       at = outcome_.out.find(needle, at + needle.size())) {
    ++found;
  }
  return found;
}

Outcome run_to_exit(const std::string& program, const std::vector<std::string>& argv,
                    const std::string& cwd, Clock::duration limit,
                    const std::vector<std::string>& environment) {
  Process process;
  if (!process.start(program, argv, cwd, environment)) return {};
  if (!process.wait_for_exit(limit)) return process.stop();
  return process.outcome();
}

}  // namespace vantrel::testing
