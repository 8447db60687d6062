// The browser's end of a request of the whole log, internal to src/web: the pieces of the answer
// that its thread makes (answer_whole) are written to the browser in order, one write at a time,
// on the server's thread. The thread waits while much is queued, so that a slow browser slows
// its request, not the relay; a browser that goes stops it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "follow/follow.h"
#include "web/transport.h"
#include "web/whole_fetch.h"

namespace vantrel::web {

// Requests of the whole log one page runs at once.
inline constexpr int kMostWholeAtOnce = 8;
// Queued bytes past which the request's thread waits for the browser.
inline constexpr std::size_t kMostQueuedBytes = std::size_t{4} << 20;

// What the request's thread and the browser's writer share.
struct WholeFlow {
  std::mutex lock;
  std::condition_variable room;
  std::size_t queued = 0;
  bool stopped = false;  // the browser went, or a newer search of the same browser came

  void stop() {
    const std::lock_guard<std::mutex> hold(lock);
    stopped = true;
    room.notify_all();
  }
};

template <typename Transport>
class WholeStream : public std::enable_shared_from_this<WholeStream<Transport>> {
 public:
  WholeStream(Transport transport, std::shared_ptr<WholeFlow> flow)
      : transport_(std::move(transport)), flow_(std::move(flow)) {}

  // On the server's thread.
  void push(std::string piece) {
    queue_.push_back(std::move(piece));
    if (!writing_) write_next();
  }
  void finish() {
    finishing_ = true;
    if (!writing_) close();
  }

 private:
  void write_next() {
    writing_ = true;
    asio::async_write(transport_, asio::buffer(queue_.front()),
                      [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                        self->written(error);
                      });
  }

  void written(beast::error_code error) {
    {
      const std::lock_guard<std::mutex> hold(flow_->lock);
      flow_->queued -= queue_.front().size();
      flow_->stopped = flow_->stopped || static_cast<bool>(error);
      flow_->room.notify_all();
    }
    queue_.pop_front();
    writing_ = false;
    if (error) queue_.clear();
    if (!queue_.empty()) return write_next();
    if (finishing_ || error) close();
  }

  void close() {
    beast::error_code ignored;
    socket_of(transport_).shutdown(tcp::socket::shutdown_send, ignored);
  }

  Transport transport_;
  std::shared_ptr<WholeFlow> flow_;
  std::deque<std::string> queue_;
  bool writing_ = false;
  bool finishing_ = false;
};

// Makes an answer in a thread of its own, a piece at a time through the Emit it is given, into
// the browser's `transport`; `ended` runs on the server's thread once it is over.
template <typename Transport>
void start_answer(asio::io_context& io, Transport transport, std::shared_ptr<WholeFlow> flow,
                  std::function<void(const Emit&)> make, std::function<void()> ended) {
  auto stream = std::make_shared<WholeStream<Transport>>(std::move(transport), flow);
  std::thread([&io, stream, make = std::move(make), flow, ended = std::move(ended)] {
    make([&](std::string piece) {
      std::unique_lock<std::mutex> hold(flow->lock);
      flow->room.wait(hold, [&] { return flow->stopped || flow->queued < kMostQueuedBytes; });
      if (flow->stopped) return false;
      flow->queued += piece.size();
      hold.unlock();
      asio::post(io,
                 [stream, piece = std::move(piece)]() mutable { stream->push(std::move(piece)); });
      return true;
    });
    asio::post(io, [stream, ended] {
      stream->finish();
      ended();
    });
  }).detach();
}

// Answers `query` from `source` that way.
template <typename Transport>
void start_whole(asio::io_context& io, Transport transport, const follow::Source& source,
                 WholeQuery query, std::shared_ptr<WholeFlow> flow, std::function<void()> ended) {
  start_answer(
      io, std::move(transport), std::move(flow),
      [&source, query = std::move(query)](const Emit& emit) { answer_whole(source, query, emit); },
      std::move(ended));
}

}  // namespace vantrel::web
