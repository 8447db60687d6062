#include "terminal/merged_output.h"

#include <unistd.h>

#include <algorithm>

#include "follow/session.h"
#include "terminal/output_queue.h"

namespace vantrel::terminal {

namespace {

using Clock = std::chrono::steady_clock;
using follow::kPartialLineWait;
using follow::LineSplitter;
using follow::Outputs;
using follow::Sink;

// Foreground colours for the names, in turn: red, green, yellow, blue, magenta, cyan, then
// their bright forms.
constexpr int kNameColours[] = {31, 32, 33, 34, 35, 36, 91, 92, 93, 94, 95, 96};

// One source's lines into the shared queue.
class SourceLines : public Sink {
 public:
  SourceLines(OutputQueue& queue, std::string prefix, bool timestamps)
      : queue_(queue), prefix_(std::move(prefix)), timestamps_(timestamps) {}

  void push(const std::uint8_t* data, std::size_t size) override {
    std::string lines;
    follow::split_lines(
        splitter_, std::string_view(reinterpret_cast<const char*>(data), size), Clock::now(),
        [&](std::string_view line, Clock::time_point since) { add_line(lines, line, since); });
    write(lines);
  }
  bool failed() override { return queue_.failed(); }
  bool full() override { return queue_.full(); }
  bool is_standard_output() const override { return true; }

  // The unfinished line, when it has waited long enough; when it will have, if one waits.
  std::optional<Clock::time_point> take_waiting(Clock::time_point now) {
    std::string lines;
    follow::take_waiting_line(splitter_, now, [&](std::string_view line, Clock::time_point since) {
      add_line(lines, line, since);
    });
    write(lines);
    if (splitter_.partial.empty()) return std::nullopt;
    return splitter_.since + kPartialLineWait;
  }

 private:
  void add_line(std::string& lines, std::string_view line, Clock::time_point since) {
    lines += prefix_;
    if (timestamps_) {
      const auto waited = std::chrono::duration_cast<std::chrono::system_clock::duration>(
          Clock::now() - std::min(since, Clock::now()));
      lines += follow::arrival_stamp(std::chrono::system_clock::now() - waited);
    }
    lines += line;
    lines += '\n';
  }
  void write(const std::string& lines) {
    if (!lines.empty())
      queue_.push(reinterpret_cast<const std::uint8_t*>(lines.data()), lines.size());
  }

  OutputQueue& queue_;
  std::string prefix_;
  bool timestamps_;
  LineSplitter splitter_;
};

class MergedOutput : public Outputs {
 public:
  MergedOutput(const std::vector<std::string>& names, bool colour, bool timestamps)
      : queue_(STDOUT_FILENO, kOutputLimit) {
    std::size_t width = 0;
    for (const std::string& name : names) width = std::max(width, name.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      sources_.push_back(std::make_unique<SourceLines>(
          queue_, line_prefix(names[i], width, i, colour), timestamps));
    }
  }

  // A source's unfinished line is not lost when the viewer ends.
  ~MergedOutput() override { take_waiting(Clock::time_point::max()); }

  Sink& source(std::size_t index) override { return *sources_[index]; }

  std::optional<Clock::time_point> take_waiting(Clock::time_point now) override {
    std::optional<Clock::time_point> next;
    for (const auto& lines : sources_) {
      const auto due = lines->take_waiting(now);
      if (due && (!next || *due < *next)) next = due;
    }
    return next;
  }

 private:
  OutputQueue queue_;  // declared first: the sources refer to it
  std::vector<std::unique_ptr<SourceLines>> sources_;
};

}  // namespace

std::string line_prefix(const std::string& name, std::size_t width, std::size_t index,
                        bool colour) {
  std::string padded = name + std::string(width - std::min(width, name.size()), ' ');
  if (colour) {
    const int code = kNameColours[index % std::size(kNameColours)];
    padded = "\x1b[" + std::to_string(code) + "m" + padded + "\x1b[0m";
  }
  return padded + " | ";
}

std::unique_ptr<follow::Outputs> open_merged_output(const std::vector<std::string>& names,
                                                    bool colour, bool timestamps) {
  return std::make_unique<MergedOutput>(names, colour, timestamps);
}

}  // namespace vantrel::terminal
