// vantrel-view against the real daemon on loopback: the login, the stream copied byte for byte,
// the daemon going away and coming back, and the errors a user meets first.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/viewer.h"

namespace vantrel::testing {
namespace {

constexpr const char* kKeyLine = "key = \"3e07b1d4\"";

int count_in(const std::string& text, const std::string& needle) {
  int found = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++found;
  }
  return found;
}

std::string config_text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.process().out(); }
  void TearDown() override {
    if (viewer_.pid() > 0 && viewer_.running()) {
      EXPECT_EQ(viewer_.stop().signal, SIGTERM) << viewer_.err();
    }
    if (!daemon_stopped_) {
      EXPECT_TRUE(daemon_.stop_and_check()) << daemon_.process().out() << daemon_.process().err();
    }
  }

  // Starts the viewer on the daemon's port. Without -c in `args` it finds the daemon's own
  // configuration file beside the program path it is given.
  void start_viewer(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {daemon_.dir().file("vantrel-view"), "-p",
                                     std::to_string(daemon_.port())};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(viewer_.start(VANTREL_VIEW_BINARY, argv, daemon_.dir().path()));
  }
  // A configuration file of the viewer's own, beside the daemon's.
  std::string viewer_config(const std::vector<std::string>& lines) {
    const std::string path = daemon_.dir().file("viewer.cfg");
    write_file(path, config_text(lines));
    return path;
  }
  bool wait_for_error(const std::string& needle, int times = 1, Clock::duration limit = 10s) {
    return viewer_.wait_until([&] { return count_in(viewer_.err(), needle) >= times; }, limit);
  }
  // Waits until the viewer has written exactly `expected`, or more than that.
  bool wait_for_stream(const std::string& expected) {
    viewer_.wait_until([&] { return viewer_.out().size() >= expected.size(); });
    return viewer_.out() == expected;
  }
  void stop_daemon() {
    ASSERT_TRUE(daemon_.stop_and_check());
    daemon_stopped_ = true;
  }

  Daemon daemon_;
  Process viewer_;
  bool daemon_stopped_ = false;
};

TEST_F(ViewerTest, LogsInAndWritesWhatIsAppendedByteForByte) {
  start_viewer();
  ASSERT_TRUE(wait_for_error("vantrel-view: logged in; following " + daemon_.log_path() + "\n"))
      << viewer_.err();
  EXPECT_TRUE(daemon_.process().wait_for_output(") successfully logged in.\n"));
  std::string expected = std::string("first line\n") + std::string("zero\0inside\n", 12) +
                         "\xff\xfe high bytes\r\n";
  daemon_.append(expected);
  ASSERT_TRUE(wait_for_stream(expected)) << viewer_.err();
  // A burst close to the largest frame arrives over several receives.
  std::string burst;
  for (int line = 0; burst.size() < 60000; ++line) {
    burst += "burst line " + std::to_string(line) + std::string(static_cast<std::size_t>(line % 50), '.') + "\n";
  }
  daemon_.append(burst);
  expected += burst;
  ASSERT_TRUE(wait_for_stream(expected)) << viewer_.err();
  for (const char* line : {"one\n", "two\n", "three\n"}) daemon_.append(line);
  expected += "one\ntwo\nthree\n";
  EXPECT_TRUE(wait_for_stream(expected)) << viewer_.err();
  EXPECT_EQ(count_in(viewer_.err(), "dropped"), 0) << viewer_.err();
}

TEST_F(ViewerTest, WithoutAPasswordItFollowsWithoutLoggingIn) {
  start_viewer({"-c", viewer_config({kKeyLine})});
  ASSERT_TRUE(wait_for_error("vantrel-view: connected to 127.0.0.1:"));
  ASSERT_TRUE(daemon_.process().wait_for_output("vantrel: Connect from host"));
  daemon_.append("no login needed\n");
  EXPECT_TRUE(wait_for_stream("no login needed\n")) << viewer_.err();
  EXPECT_EQ(daemon_.process().count("vantrel: Got message"), 0);
  EXPECT_EQ(count_in(viewer_.err(), "logged in"), 0);
}

TEST_F(ViewerTest, ARefusedPasswordEndsWithStatusOne) {
  start_viewer({"-c", viewer_config({"password = \"guess\"", kKeyLine})});
  ASSERT_TRUE(viewer_.wait_for_exit());
  EXPECT_EQ(viewer_.outcome().exit_code, 1);
  EXPECT_NE(viewer_.err().find("vantrel-view: the daemon refused the password\n"),
            std::string::npos)
      << viewer_.err();
  EXPECT_TRUE(daemon_.process().wait_for_output("vantrel: Wrong Password!("));
}

TEST_F(ViewerTest, AnotherKeyThanTheDaemonsEndsTheLoginWithStatusFour) {
  start_viewer({"-c", viewer_config({"password = \"secret\"", "key = \"11223344\""})});
  ASSERT_TRUE(viewer_.wait_for_exit(15s));
  EXPECT_EQ(viewer_.outcome().exit_code, 4) << viewer_.err();
  EXPECT_NE(viewer_.err().find("key"), std::string::npos) << viewer_.err();
  EXPECT_EQ(viewer_.out(), "");
}

TEST_F(ViewerTest, TheDaemonGoingAwayEndsWithStatusTwo) {
  start_viewer();
  ASSERT_TRUE(wait_for_error("logged in"));
  stop_daemon();
  ASSERT_TRUE(viewer_.wait_for_exit());
  EXPECT_EQ(viewer_.outcome().exit_code, 2);
  EXPECT_NE(viewer_.err().find("vantrel-view: the daemon closed the connection\n"),
            std::string::npos)
      << viewer_.err();
}

TEST_F(ViewerTest, WithRItWaitsLongerEachTimeAndGoesOnOnceTheDaemonIsBack) {
  start_viewer({"-r"});
  ASSERT_TRUE(wait_for_error("logged in"));
  ASSERT_TRUE(daemon_.stop_and_check());
  // The first retry, a second later, finds no daemon, so the next wait is twice as long.
  ASSERT_TRUE(wait_for_error("vantrel-view: reconnecting in 2 s\n")) << viewer_.err();
  EXPECT_NE(viewer_.err().find("vantrel-view: reconnecting in 1 s\n"), std::string::npos);
  EXPECT_NE(viewer_.err().find("Connection refused"), std::string::npos);
  ASSERT_TRUE(daemon_.start()) << daemon_.process().out() << daemon_.process().err();
  ASSERT_TRUE(wait_for_error("logged in", 2)) << viewer_.err();
  daemon_.append("after the restart\n");
  EXPECT_TRUE(wait_for_stream("after the restart\n")) << viewer_.err();
}

// Runs the viewer with `args` and no daemon at all.
Outcome run_viewer(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"vantrel-view"};
  argv.insert(argv.end(), args.begin(), args.end());
  TempDir dir;
  return run_to_exit(VANTREL_VIEW_BINARY, argv, dir.path());
}

TEST(ViewerSetup, HelpPrintsTheUsageAndEndsWithStatusZero) {
  const Outcome outcome = run_viewer({"-h"});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.out.rfind("Usage: vantrel-view [-c CONFIGFILE] [-p PORT] [-r] [-h] [HOST]\n", 0),
            0u)
      << outcome.out;
  EXPECT_EQ(outcome.err, "");
}

TEST(ViewerSetup, BadCommandLinesAndConfigurationsEndWithStatusFive) {
  TempDir dir;
  const std::string no_key = dir.file("no_key.cfg");
  const std::string zero_key = dir.file("zero_key.cfg");
  write_file(no_key, config_text({"password = \"secret\""}));
  write_file(zero_key, config_text({"password = \"secret\"", "key = \"00000000\""}));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-c", dir.file("missing.cfg")},
       "vantrel: Error opening config file '" + dir.file("missing.cfg") +
           "': No such file or directory\n"},
      {{}, "vantrel: Error opening config file 'vantrel.cfg': No such file or directory\n"},
      {{"-c", no_key}, "vantrel-view: '" + no_key + "' sets no key, or a zero one"},
      {{"-c", zero_key}, "vantrel-view: '" + zero_key + "' sets no key, or a zero one"},
      {{"-x"}, "vantrel-view: unknown option '-x'\n"},
      {{"-p", "65536"}, "vantrel-view: not a port from 1 to 65535: '65536'\n"},
      {{"-p", "12ab"}, "vantrel-view: not a port from 1 to 65535: '12ab'\n"},
      {{"-c"}, "vantrel-view: missing value after '-c'\n"},
      {{"host1", "host2"}, "vantrel-view: more than one host: 'host2'\n"},
  };
  for (const auto& test : cases) {
    const Outcome outcome = run_viewer(test.args);
    EXPECT_EQ(outcome.exit_code, 5) << test.message;
    EXPECT_NE(outcome.err.find(test.message), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
}

TEST(ViewerSetup, AnUnknownHostOrARefusedConnectionEndsWithStatusThree) {
  TempDir dir;
  const std::string config = dir.file("vantrel.cfg");
  write_file(config, config_text({kKeyLine}));
  const std::string port = std::to_string(free_port());
  Outcome outcome = run_viewer({"-c", config, "-p", port, "no-such-host.invalid"});
  EXPECT_EQ(outcome.exit_code, 3);
  EXPECT_NE(outcome.err.find("vantrel-view: unknown host 'no-such-host.invalid': "),
            std::string::npos)
      << outcome.err;
  outcome = run_viewer({"-c", config, "-p", port});
  EXPECT_EQ(outcome.exit_code, 3);
  EXPECT_NE(outcome.err.find("vantrel-view: connect to 127.0.0.1:" + port + ": Connection refused\n"),
            std::string::npos)
      << outcome.err;
}

}  // namespace
}  // namespace vantrel::testing
