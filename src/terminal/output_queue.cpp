#include "terminal/output_queue.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel::terminal {

namespace {

// Writes all of a chunk; false after reporting a failed write.
bool write_all(int fd, const std::string& chunk) {
  for (std::size_t at = 0; at < chunk.size();) {
    const ssize_t written = write(fd, chunk.data() + at, chunk.size() - at);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      std::fprintf(stderr, "vantrel-view: write to standard output: %s\n", std::strerror(errno));
      return false;
    }
    at += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

OutputQueue::OutputQueue(int fd, std::size_t limit)
    : fd_(fd), limit_(limit), writer_(&OutputQueue::write_loop, this) {}

OutputQueue::~OutputQueue() {
  drain();
  {
    const std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void OutputQueue::push(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (failed_) return;
    chunks_.emplace_back(reinterpret_cast<const char*>(data), size);
    queued_ += size;
  }
  changed_.notify_all();
}

bool OutputQueue::full() {
  const std::lock_guard<std::mutex> hold(lock_);
  return queued_ >= limit_;
}

void OutputQueue::drain() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return failed_ || (chunks_.empty() && !writing_); });
}

bool OutputQueue::failed() {
  const std::lock_guard<std::mutex> hold(lock_);
  return failed_;
}

void OutputQueue::write_loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [&] { return stopping_ || !chunks_.empty(); });
    if (chunks_.empty()) return;
    std::string chunk = std::move(chunks_.front());
    chunks_.pop_front();
    writing_ = true;
    hold.unlock();
    const bool written = write_all(fd_, chunk);
    hold.lock();
    writing_ = false;
    queued_ -= chunk.size();
    if (!written) {
      failed_ = true;
      chunks_.clear();
      queued_ = 0;
    }
    changed_.notify_all();
    if (failed_) {
      changed_.wait(hold, [&] { return stopping_; });
      return;
    }
  }
}

}  // namespace vantrel::terminal
