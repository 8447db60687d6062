// One browser's event stream, internal to src/web: it writes what the browser has not seen
// of its channel, one write at a time, shares encodings with the browsers at its position, and
// notices the browser leaving.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "web/channels.h"
#include "web/transport.h"

namespace vantrel::web {

class Browser {
 public:
  virtual ~Browser() = default;
  virtual void pump() = 0;
  virtual void heartbeat(Clock::time_point now) = 0;
  virtual bool ended() const = 0;
};

template <typename Transport>
class BrowserFeed : public Browser, public std::enable_shared_from_this<BrowserFeed<Transport>> {
 public:
  BrowserFeed(Transport transport, Shared& shared, Channel& channel,
              const std::optional<std::string>& last_event_id)
      : transport_(std::move(transport)),
        shared_(shared),
        channel_(channel),
        peer_(describe(transport_)) {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    if (!last_event_id) {
      position_ = start_position(channel_.ring);
    } else if (channel_.index) {
      MergedResume resume = resume_merged(*channel_.index, channel_.ring, *last_event_id);
      position_ = resume.position;
      seen_ = std::move(resume.seen);
      first_ = std::move(resume.gaps);
    } else {
      bool unknown_gap = false;
      position_ = resume_position(channel_.ring, *last_event_id, unknown_gap);
      if (unknown_gap) first_ = gap_event(event_id(channel_.ring, position_), std::nullopt);
    }
  }

  void start() {
    std::fprintf(stderr, "vantrel-view: browser %s connected\n", peer_.c_str());
    http::response<http::empty_body> header{http::status::ok, 11};
    header.set(http::field::content_type, "text/event-stream");
    header.set(http::field::cache_control, "no-cache");
    header.set("X-Accel-Buffering", "no");  // a proxy in front passes events on at once
    add_security_headers(header);
    header.keep_alive(false);
    std::ostringstream text;
    text << header.base() << first_;
    write(text.str(), nullptr);
    notice_leaving();
  }

  // Writes what the browser has not seen yet, one write at a time.
  void pump() override {
    if (writing_ || ended_) return;
    std::string status;
    std::shared_ptr<const EventText> events;
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      // A browser that fell more than the ring behind is closed, not queued for: it comes back
      // by itself, and learns of the gap then.
      if (sent_any_ && has_fallen_behind(channel_.ring, position_)) return end();
      if (status_sent_ != shared_.status_version) {
        status = shared_.status_text();
        status_sent_ = shared_.status_version;
      }
      events = encoded_events();
    }
    if (status.empty() && !events) return;
    sent_any_ = true;
    write(std::move(status), std::move(events));
  }

  void heartbeat(Clock::time_point now) override {
    if (!writing_ && !ended_ && now - last_write_ >= kHeartbeat) write(": quiet\n\n", nullptr);
  }

  bool ended() const override { return ended_; }

 private:
  // The events that bring this browser on from its position, made once for every browser at
  // that position. Under the shared lock.
  std::shared_ptr<const EventText> encoded_events() {
    // A browser that came from another viewer reads alone until it has passed what it saw there.
    if (!seen_.empty()) {
      auto text = event_text(
          next_merged_events(*channel_.index, channel_.ring, position_, seen_, kWriteBytes));
      return text->text.empty() ? nullptr : text;
    }
    auto& encoded = channel_.encoded;
    const auto found = encoded.find(position_);
    if (found != encoded.end()) {
      position_ = found->second.end;
      return found->second.text;
    }
    const std::uint64_t from = position_;
    auto text = event_text(channel_.index ? next_merged_events(*channel_.index, channel_.ring,
                                                               position_, seen_, kWriteBytes)
                                          : next_events(channel_.ring, position_, kWriteBytes));
    if (text->text.empty()) return nullptr;
    if (encoded.size() >= channel_.encoded_kept) encoded.erase(encoded.begin());
    encoded[from] = EncodedEvents{position_, text};
    return text;
  }

  void write(std::string text, std::shared_ptr<const EventText> events) {
    out_ = std::move(text);
    events_ = std::move(events);
    writing_ = true;
    last_write_ = Clock::now();
    beast::get_lowest_layer(transport_).expires_after(kWriteTime);
    // No empty buffer: a TLS stream writes the first buffer of what it is given, and an empty
    // one would stall the write.
    std::vector<asio::const_buffer> parts;
    if (!out_.empty()) parts.push_back(asio::buffer(out_));
    if (events_) parts.push_back(asio::buffer(events_->text));
    shared_.counters.bytes_sent += out_.size() + (events_ ? events_->text.size() : 0);
    if (events_) shared_.counters.events_sent += events_->count;
    asio::async_write(transport_, parts,
                      [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                        self->writing_ = false;
                        if (error) return self->end();
                        self->pump();
                      });
  }

  // A browser sends nothing on its event stream: anything to read (the end, a reset, TLS's
  // closing alert) is the browser leaving. The wait is on the socket itself, beside the stream:
  // a read pending on the stream would take the write's time limit as its own and end every
  // stream that limit after it began.
  void notice_leaving() {
    socket_of(transport_)
        .async_wait(tcp::socket::wait_read,
                    [self = this->shared_from_this()](beast::error_code) { self->end(); });
  }

  void end() {
    if (ended_) return;
    ended_ = true;
    beast::error_code ignored;
    socket_of(transport_).shutdown(tcp::socket::shutdown_both, ignored);
    socket_of(transport_).close(ignored);
    std::fprintf(stderr, "vantrel-view: browser %s left\n", peer_.c_str());
  }

  Transport transport_;
  Shared& shared_;
  Channel& channel_;
  std::string peer_;
  std::uint64_t position_ = 0;
  SourcePositions seen_;  // of a browser from another viewer: what it saw of each source there
  std::string first_;     // a gap the browser is told of before anything else
  std::uint64_t status_sent_ = 0;
  std::string out_;                          // the header, a status or a comment
  std::shared_ptr<const EventText> events_;  // log events, shared with other browsers
  Clock::time_point last_write_{};
  bool writing_ = false;
  bool sent_any_ = false;
  bool ended_ = false;
};

}  // namespace vantrel::web
