// Where a followed log goes: a sink per source (standard output behind a queue, or the page's
// stream), which the connection to the daemon also tells how it fares, for the page's status
// line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "codec/position.h"

namespace vantrel::follow {

class Sink {
 public:
  virtual ~Sink() = default;
  // Takes bytes of the log, all of them: a sink that cannot hold more says so through full().
  virtual void push(const std::uint8_t* data, std::size_t size) = 0;
  // Writing failed for good.
  virtual bool failed() = 0;
  // Whether this sink is standard output, whose reader going away ends the viewer.
  virtual bool is_standard_output() const = 0;
  // Holds as much as it takes: the viewer reads no more until it has room, and the daemon keeps
  // the viewer's place meanwhile.
  virtual bool full() { return false; }
  // Where the stream stands in the daemon's log from the next byte on, as a notice says.
  virtual void placed(const codec::Notice& /*notice*/) {}
  // How much of the log's end to start with when nothing was followed yet, if not the daemon's
  // default.
  virtual std::optional<std::uint64_t> first_bytes() const { return std::nullopt; }
  virtual void connection_changed(bool /*connected*/) {}
  virtual void following(const std::string& /*file*/) {}
};

// Where the sources' streams go: a sink per source, in the order of the -c options.
class Outputs {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~Outputs() = default;
  virtual Sink& source(std::size_t index) = 0;
  // Writes what has waited long enough (a source's unfinished line); says when the next
  // thing will have, if anything waits.
  virtual std::optional<Clock::time_point> take_waiting(Clock::time_point /*now*/) {
    return std::nullopt;
  }
};

// One source: its sink is the output.
class SingleOutput : public Outputs {
 public:
  explicit SingleOutput(std::unique_ptr<Sink> sink) : sink_(std::move(sink)) {}
  Sink& source(std::size_t /*index*/) override { return *sink_; }

 private:
  std::unique_ptr<Sink> sink_;
};

}  // namespace vantrel::follow
