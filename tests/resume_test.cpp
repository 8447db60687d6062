// A viewer that follows through breaks: its connection cut, the daemon killed and started again,
// the log rotated and cut back, in a random order. What it writes must be the log, each line
// once and in order, and every gap must be said once on standard error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <random>
#include <string>

#include "support/process.h"
#include "support/viewer.h"

namespace vantrel::testing {
namespace {

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

int occurrences(const std::string& text, const std::string& needle) {
  int found = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++found;
  }
  return found;
}

// socat between the viewer and the daemon, for one connection: stopping it cuts that
// connection, as a network that goes away does.
class Relay {
 public:
  explicit Relay(unsigned short target) : port_(free_port()), target_(target) {}
  bool start() {
    return process_.start("/usr/bin/socat",
                          {"socat", "-d", "-d",
                           "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,reuseaddr",
                           "TCP:127.0.0.1:" + std::to_string(target_)},
                          "/") &&
           process_.wait_until([&] { return has(process_.err(), "listening on"); });
  }
  void stop() { process_.stop(); }
  bool running() { return process_.running(); }
  unsigned short port() const { return port_; }

 private:
  unsigned short port_;
  unsigned short target_;
  Process process_;
};

class Breaks {
 public:
  explicit Breaks(unsigned seed) : rng_(seed), relay_(daemon_.port()) {}

  bool start() {
    return daemon_.start() && relay_.start() &&
           viewer_.start(VANTREL_VIEW_BINARY,
                         {"vantrel-view", "-c", daemon_.dir().file("vantrel.cfg"), "-p",
                          std::to_string(relay_.port()), "-r"},
                         daemon_.dir().path()) &&
           viewer_.wait_until([&] { return has(viewer_.err(), "logged in"); });
  }

  void append_lines() {
    std::string text;
    for (int i = std::uniform_int_distribution<int>(1, 40)(rng_); i > 0; --i) {
      const int number = lines_++;
      text += "line " + std::to_string(number) + " " +
              std::string(static_cast<std::size_t>(number % 97), 'x') + "\n";
    }
    daemon_.append(text);
    expected_ += text;
  }

  // One break, at random, with lines appended around it; then the viewer catches up. A cut back
  // comes after the viewer has read everything: what it had not read would be a true gap.
  bool one_break() {
    append_lines();
    if (!caught_up()) return false;
    const bool away = std::bernoulli_distribution(0.6)(rng_);
    if (away) relay_.stop();
    const int kind = std::uniform_int_distribution<int>(0, 3)(rng_);
    event_ = "break " + std::to_string(kind) + (away ? " while away" : " while connected");
    switch (kind) {
      case 0:
        append_lines();
        break;
      case 1:  // the daemon is killed and started again, as its supervisor would
        relay_.stop();
        kill(daemon_.process().pid(), SIGKILL);
        daemon_.process().wait_for_exit();
        append_lines();
        if (!daemon_.start()) return false;
        break;
      case 2:  // rotated: what the old file gains after the rename is still read
        rename(daemon_.log_path().c_str(), (daemon_.log_path() + ".1").c_str());
        if (!away) {
          append_file(daemon_.log_path() + ".1", "late line " + std::to_string(lines_++) + "\n");
          expected_ += "late line " + std::to_string(lines_ - 1) + "\n";
        }
        write_file(daemon_.log_path(), "");
        append_lines();
        break;
      case 3: {  // cut back: what follows is sent from the file's start, and a gap said
        Process& daemon = daemon_.process();
        const int seen = daemon.count("Log file truncated!");
        write_file(daemon_.log_path(), "");
        if (!away &&
            !daemon.wait_until([&] { return daemon.count("Log file truncated!") > seen; })) {
          return false;
        }
        ++gaps_;
        append_lines();
        break;
      }
    }
    if (!relay_.running() && !relay_.start()) return false;
    append_lines();
    return caught_up();
  }

  bool caught_up() {
    return viewer_.wait_until([&] { return viewer_.out() == expected_; }, 20s);
  }
  int gaps_said() const { return occurrences(viewer_.err(), "gap: "); }
  // Resumes that missed nothing are said too, and only after a connection came back.
  int clean_resumes_said() const { return occurrences(viewer_.err(), ": nothing missed\n"); }
  int logins() const { return occurrences(viewer_.err(), "logged in"); }
  int gaps() const { return gaps_; }
  // What went wrong, for a failure's message.
  std::string story() const {
    const std::string& out = viewer_.out();
    std::size_t same = 0;
    while (same < out.size() && same < expected_.size() && out[same] == expected_[same]) ++same;
    return event_ + "; the output differs from the log at byte " + std::to_string(same) +
           ": got '" + out.substr(same, 60) + "', wanted '" + expected_.substr(same, 60) + "'\n" +
           viewer_.err();
  }

 private:
  std::mt19937 rng_;
  Daemon daemon_;
  Relay relay_;
  Process viewer_;
  std::string expected_;
  int lines_ = 0;
  int gaps_ = 0;
  std::string event_;
};

TEST(Resume, ThroughRandomCutsRestartsRotationsAndTruncationsTheOutputIsTheLog) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Breaks breaks(seed);
    ASSERT_TRUE(breaks.start());
    for (int round = 0; round < 6; ++round) {
      ASSERT_TRUE(breaks.one_break()) << "round " << round << ": " << breaks.story();
    }
    EXPECT_EQ(breaks.gaps_said(), breaks.gaps()) << breaks.story();
    EXPECT_GT(breaks.clean_resumes_said(), 0) << breaks.story();
    EXPECT_LT(breaks.clean_resumes_said(), breaks.logins()) << breaks.story();
  }
}

}  // namespace
}  // namespace vantrel::testing
