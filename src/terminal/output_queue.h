// Standard output behind a queue: the viewer goes on receiving while its output is blocked (a
// paused terminal, a pager, a slow pipe) until the queue is full; then it stops reading, and
// the daemon holds its place in the log. Nothing pushed is dropped, so no line is ever cut. A
// thread of its own writes the queue with blocking writes: standard output stays blocking, as
// other processes share it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "follow/sink.h"

namespace vantrel::terminal {

// What the viewer queues while its standard output is blocked before it stops reading.
inline constexpr std::size_t kOutputLimit = std::size_t{64} << 20;

class OutputQueue : public follow::Sink {
 public:
  OutputQueue(int fd, std::size_t limit);
  ~OutputQueue() override;  // writes out what is queued, then stops the thread
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // Queues bytes, all of them.
  void push(const std::uint8_t* data, std::size_t size) override;
  // The queue holds its limit or more.
  bool full() override;
  // Waits until everything queued is written, or writing failed.
  void drain();
  // A write failed for another reason than a closed pipe (which ends the process by its
  // signal, as for any program in a pipeline).
  bool failed() override;
  bool is_standard_output() const override { return true; }

 private:
  void write_loop();

  int fd_;
  std::size_t limit_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> chunks_;
  std::size_t queued_ = 0;
  bool writing_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  std::thread writer_;
};

}  // namespace vantrel::terminal
