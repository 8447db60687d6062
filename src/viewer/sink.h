// Where the viewer puts the log it follows: standard output behind a queue, or the browser
// viewer's stream. The connection to the daemon also tells it how it fares, for the page's
// status line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel::viewer {

class Sink {
 public:
  virtual ~Sink() = default;
  // Takes bytes of the log; returns how many it had to drop.
  virtual std::size_t push(const std::uint8_t* data, std::size_t size) = 0;
  // Writing failed for good.
  virtual bool failed() = 0;
  // Whether this sink is standard output, whose reader going away ends the viewer.
  virtual bool is_standard_output() const = 0;
  virtual void connection_changed(bool /*connected*/) {}
  virtual void following(const std::string& /*file*/) {}
  virtual void dropped(std::uint64_t /*bytes*/) {}
};

}  // namespace vantrel::viewer
