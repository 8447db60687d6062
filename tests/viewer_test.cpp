// vantrel-view against the real daemon on loopback: the login, the stream copied byte for byte,
// the daemon going away and coming back, and the errors a user meets first.
#include "support/viewer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::testing {
namespace {

std::string config_text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.process().out(); }
  void TearDown() override {
    for (Process* viewer : {&viewer_, &other_}) {
      if (viewer->pid() > 0 && viewer->running()) {
        EXPECT_EQ(viewer->stop().signal, SIGTERM) << viewer->err();
      }
    }
    EXPECT_TRUE(daemon_.stop_and_check()) << daemon_.process().out() << daemon_.process().err();
  }

  // Starts a viewer on the daemon's port. Without -c it reads the daemon's own configuration
  // file, found beside the program path it is given.
  void start(Process& viewer, std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {daemon_.dir().file("vantrel-view"), "-p",
                                     std::to_string(daemon_.port())};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(viewer.start(VANTREL_VIEW_BINARY, argv, daemon_.dir().path()));
  }
  std::string config(const std::string& name, const std::vector<std::string>& lines) {
    write_file(daemon_.dir().file(name), config_text(lines));
    return daemon_.dir().file(name);
  }
  static bool wait_for_error(Process& viewer, const std::string& needle) {
    return viewer.wait_until([&] { return has(viewer.err(), needle); });
  }
  // Appends to the log and waits until the viewer has written all it should have so far.
  bool appended_comes_out(const std::string& text) {
    daemon_.append(text);
    expected_ += text;
    viewer_.wait_until([&] { return viewer_.out().size() >= expected_.size(); });
    return viewer_.out() == expected_;
  }

  Daemon daemon_;
  Process viewer_;
  Process other_;
  std::string expected_;
};

TEST_F(ViewerTest, LogsInAndWritesWhatIsAppendedByteForByte) {
  start(viewer_);
  ASSERT_TRUE(wait_for_error(viewer_, "logged in; following " + daemon_.log_path() + "\n"));
  EXPECT_TRUE(daemon_.process().wait_for_output(") successfully logged in.\n"));
  EXPECT_TRUE(appended_comes_out(std::string("zero\0inside\n\xff\xfe\r\n", 16)));
  std::string burst;  // close to the largest frame: it arrives over several receives
  for (int line = 0; burst.size() < 60000; ++line) burst += "line " + std::to_string(line) + "\n";
  EXPECT_TRUE(appended_comes_out(burst)) << viewer_.err();
  for (const char* line : {"one\n", "two\n", "three\n"}) EXPECT_TRUE(appended_comes_out(line));
  EXPECT_FALSE(has(viewer_.err(), "dropped")) << viewer_.err();
}

TEST_F(ViewerTest, WithoutAPasswordItFollowsWithoutLoggingIn) {
  start(viewer_, {"-c", config("key_only.cfg", {"key = \"3e07b1d4\""})});
  ASSERT_TRUE(daemon_.process().wait_for_output("vantrel: Connect from host"));
  EXPECT_TRUE(appended_comes_out("no login needed\n")) << viewer_.err();
  EXPECT_EQ(daemon_.process().count("vantrel: Got message"), 0);
}

TEST_F(ViewerTest, ARefusedPasswordEndsWithOneAndAnotherKeyWithFour) {
  // Without a password the frames alone show that the key differs; nothing is written.
  start(other_, {"-c", config("no_login.cfg", {"key = \"11223344\""})});
  ASSERT_TRUE(daemon_.process().wait_for_output("vantrel: Connect from host"));
  daemon_.append("a line the viewer cannot read\nand another, longer one\n");
  ASSERT_TRUE(other_.wait_for_exit(10s));
  EXPECT_EQ(other_.outcome().exit_code, 4) << other_.err();
  EXPECT_TRUE(has(other_.err(), "the key differs from the daemon's")) << other_.err();
  EXPECT_EQ(other_.out(), "");

  start(viewer_, {"-c", config("guess.cfg", {"password = \"guess\"", "key = \"3e07b1d4\""})});
  ASSERT_TRUE(viewer_.wait_for_exit());
  EXPECT_EQ(viewer_.outcome().exit_code, 1);
  EXPECT_TRUE(has(viewer_.err(), "vantrel-view: the daemon refused the password\n"));
  start(other_, {"-c", config("other_key.cfg", {"password = \"secret\"", "key = \"11223344\""})});
  ASSERT_TRUE(other_.wait_for_exit(15s));
  EXPECT_EQ(other_.outcome().exit_code, 4) << other_.err();
  EXPECT_TRUE(has(other_.err(), "key")) << other_.err();
  EXPECT_EQ(other_.out(), "");
}

TEST_F(ViewerTest, WhenTheDaemonGoesAwayItEndsWithTwoOrWithRReconnectsOnceItIsBack) {
  start(viewer_, {"-r"});
  start(other_);
  ASSERT_TRUE(wait_for_error(viewer_, "logged in") && wait_for_error(other_, "logged in"));
  ASSERT_TRUE(daemon_.stop_and_check());
  ASSERT_TRUE(other_.wait_for_exit());
  EXPECT_EQ(other_.outcome().exit_code, 2);
  EXPECT_TRUE(has(other_.err(), "vantrel-view: the daemon closed the connection\n"));
  // The retry a second later finds no daemon, so the next wait is twice as long.
  ASSERT_TRUE(wait_for_error(viewer_, "vantrel-view: reconnecting in 2 s\n")) << viewer_.err();
  EXPECT_TRUE(has(viewer_.err(), "reconnecting in 1 s\n") && has(viewer_.err(), "refused"));
  ASSERT_TRUE(daemon_.start()) << daemon_.process().out();
  ASSERT_TRUE(viewer_.wait_until(
      [&] { return viewer_.err().find("logged in") != viewer_.err().rfind("logged in"); }));
  EXPECT_TRUE(appended_comes_out("after the restart\n")) << viewer_.err();
}

TEST_F(ViewerTest, APausedViewerWritesEverythingThatPiledUpMeanwhile) {
  start(viewer_);
  ASSERT_TRUE(wait_for_error(viewer_, "logged in"));
  kill(viewer_.pid(), SIGSTOP);
  std::string piled;
  for (int burst = 0; burst < 40; ++burst) {
    std::string lines;
    for (int line = 0; line < 500; ++line) {
      lines += "burst " + std::to_string(burst) + " line " + std::to_string(line) + " ?:=<\n";
    }
    daemon_.append(lines);
    piled += lines;
  }
  ASSERT_TRUE(daemon_.process().wait_for_output(") successfully logged in.\n"));
  kill(viewer_.pid(), SIGCONT);
  expected_ = piled;
  EXPECT_TRUE(appended_comes_out("after the pause\n")) << viewer_.err();
  EXPECT_EQ(daemon_.process().err().find("Error sending"), std::string::npos);
}

// SIGHUP reads an HTTPS page's certificate and key again and ends a plain page, as it ends
// every other program that has nothing to read again.
TEST_F(ViewerTest, HangupReadsTheCertificateAgainOrEndsAPlainPage) {
  const std::string key = daemon_.dir().file("key.pem");
  const std::string certificate = daemon_.dir().file("cert.pem");
  ASSERT_EQ(run_to_exit("/usr/bin/openssl",
                        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                         "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj",
                         "/CN=127.0.0.1", "-keyout", key, "-out", certificate},
                        daemon_.dir().path())
                .exit_code,
            0);
  start(viewer_,
        {"--web", std::to_string(free_port()), "--tls-cert", certificate, "--tls-key", key});
  start(other_, {"--web", std::to_string(free_port())});
  for (Process* viewer : {&viewer_, &other_}) {
    ASSERT_TRUE(wait_for_error(*viewer, "the page is at")) << viewer->err();
    kill(viewer->pid(), SIGHUP);
  }
  EXPECT_TRUE(wait_for_error(viewer_, "read the certificate and key again")) << viewer_.err();
  EXPECT_TRUE(viewer_.running());
  ASSERT_TRUE(other_.wait_for_exit());
  EXPECT_EQ(other_.outcome().signal, SIGHUP);
}

TEST(ViewerLogin, GrowthThatLooksLikeTheLoginAnswerIsLog) {
  // Growth from before a viewer connects reaches it before the daemon reads its login.
  for (const std::string growth : {"YIPI spoof\n", "WO!!"}) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start());
    daemon.append(growth);
    Process viewer;
    ASSERT_TRUE(
        viewer.start(VANTREL_VIEW_BINARY,
                     {daemon.dir().file("vantrel-view"), "-p", std::to_string(daemon.port())},
                     daemon.dir().path()));
    EXPECT_TRUE(viewer.wait_until(
        [&] { return has(viewer.err(), "logged in; following " + daemon.log_path() + "\n"); }));
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.out() == growth; })) << viewer.err();
    daemon.append("later\n");
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.out() == growth + "later\n"; }));
    EXPECT_EQ(viewer.stop().signal, SIGTERM) << viewer.err();
    EXPECT_TRUE(daemon.stop_and_check());
  }
}

TEST(ViewerLengths, RandomBinaryAppendsComeOutExactlyUnderEitherKey) {
  std::mt19937 random(20261209);
  for (const char* key : {"3e07b1d4", "41424344"}) {
    DaemonOptions options;
    options.config_lines = {"password = \"secret\"", std::string("key = \"") + key + "\""};
    Daemon daemon(options);
    ASSERT_TRUE(daemon.start());
    Process viewer;
    ASSERT_TRUE(
        viewer.start(VANTREL_VIEW_BINARY,
                     {daemon.dir().file("vantrel-view"), "-p", std::to_string(daemon.port())},
                     daemon.dir().path()));
    ASSERT_TRUE(daemon.process().wait_for_output(") successfully logged in.\n"));
    std::string log;
    for (const std::size_t size : {1UL, 3UL, 1000UL, 4000UL, 300000UL, 2UL, 70000UL, 5UL}) {
      std::string bytes(size, '\0');
      for (char& byte : bytes) byte = static_cast<char>(random());
      daemon.append(bytes);
      log += bytes;
      if (random() % 2 == 0) {  // now and then a pause, otherwise a burst
        viewer.wait_until([&] { return viewer.out().size() >= log.size(); });
      }
    }
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.out().size() >= log.size(); }));
    EXPECT_TRUE(viewer.out() == log) << key << ": " << viewer.err();
    EXPECT_EQ(viewer.stop().signal, SIGTERM) << viewer.err();
    EXPECT_TRUE(daemon.stop_and_check());
  }
}

TEST_F(ViewerTest, TheViewerEndsWithItsPipeEvenWhileTheLogIsQuiet) {
  const std::string command = std::string(VANTREL_VIEW_BINARY) + " -p " +
                              std::to_string(daemon_.port()) + " -c vantrel.cfg | head -n 1";
  ASSERT_TRUE(viewer_.start("/bin/bash", {"bash", "-c", command}, daemon_.dir().path()));
  ASSERT_TRUE(daemon_.process().wait_for_output(") successfully logged in.\n"));
  daemon_.append("first\nsecond\n");
  ASSERT_TRUE(viewer_.wait_for_exit(5s));
  EXPECT_EQ(viewer_.out(), "first\n");
}

// A peer that speaks frames as scripted: the viewer against receives cut where the test says.
class ScriptedDaemon {
 public:
  ScriptedDaemon() : port_(free_port()) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
  }
  ~ScriptedDaemon() {
    if (peer_ >= 0) close(peer_);
    close(listener_);
  }
  bool accept_viewer() {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return false;
    peer_ = accept(listener_, nullptr, nullptr);
    return peer_ >= 0;
  }
  std::string receive_bytes() {
    pollfd ready{peer_, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return {};
    std::string bytes(65536, '\0');
    const ssize_t count = recv(peer_, bytes.data(), bytes.size(), 0);
    bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return bytes;
  }
  void send_bytes(const std::string& bytes) {
    send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  unsigned short port() const { return port_; }

 private:
  unsigned short port_;
  int listener_ = -1;
  int peer_ = -1;
};

TEST(ViewerReassembly, FramesThatFooledTheOldAssemblyComeOutExactly) {
  TempDir dir;
  const struct {
    std::uint32_t key;
    std::string payload;
    std::size_t cut;  // sent in two pieces, a pause between
  } cases[] = {
      {0x41424344, "abcd@efghCijklBmnopEqrstuvwxyz", 0},  // letters unscramble to trailers
      {kTestKey, "What? disk is full", 5},                // its first piece is a frame too
  };
  for (const auto& test : cases) {
    std::ostringstream key;
    key << std::hex << test.key;
    write_file(dir.file("plain.cfg"), "key = \"" + key.str() + "\"\n");
    ScriptedDaemon peer;
    Process viewer;
    ASSERT_TRUE(viewer.start(
        VANTREL_VIEW_BINARY,
        {"vantrel-view", "-c", dir.file("plain.cfg"), "-p", std::to_string(peer.port())},
        dir.path()));
    ASSERT_TRUE(peer.accept_viewer());
    const std::string frame = make_frame(test.payload, test.key) + make_frame("\n", test.key);
    if (test.cut > 0) {
      peer.send_bytes(frame.substr(0, test.cut));
      std::this_thread::sleep_for(100ms);  // the cut under test: longer than a quiet moment
    }
    peer.send_bytes(frame.substr(test.cut));
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.out().size() > test.payload.size(); }));
    EXPECT_EQ(viewer.out(), test.payload + "\n") << viewer.err();
    EXPECT_EQ(viewer.stop().signal, SIGTERM);
  }
}

TEST(ViewerSetup, ConfigurationIsLookedForWithDashCThenInTheUsersFolderThenBesideTheProgram) {
  TempDir dir;
  // Each file names another port with no daemon on it: the refused connection tells which
  // file was read.
  const auto config = [&](const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string port = std::to_string(free_port());
    write_file(path, "key = \"3e07b1d4\"\nport = \"" + port + "\"\n");
    return "connect to 127.0.0.1:" + port + ":";
  };
  const std::string given = config(dir.file("given.cfg"));
  const std::string xdg = config(dir.file("xdg/vantrel/vantrel.cfg"));
  const std::string home = config(dir.file("home/.config/vantrel/vantrel.cfg"));
  const std::string beside = config(dir.file("bin/vantrel.cfg"));
  const std::string xdg_home = "XDG_CONFIG_HOME=" + dir.file("xdg");
  const std::string home_dir = "HOME=" + dir.file("home");
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> environment;
    std::string read;
  } cases[] = {
      {{"-c", dir.file("given.cfg")}, {xdg_home, home_dir}, given},
      {{}, {xdg_home, home_dir}, xdg},
      {{}, {"XDG_CONFIG_HOME=", home_dir}, home},
      {{}, {"XDG_CONFIG_HOME=", "HOME=" + dir.path()}, beside},
  };
  for (const auto& test : cases) {
    std::vector<std::string> argv = {dir.file("bin/vantrel-view")};
    argv.insert(argv.end(), test.args.begin(), test.args.end());
    const Outcome outcome =
        run_to_exit(VANTREL_VIEW_BINARY, argv, dir.path(), 10s, test.environment);
    EXPECT_EQ(outcome.exit_code, 3) << outcome.err;
    EXPECT_TRUE(has(outcome.err, test.read)) << test.read << "\n" << outcome.err;
  }
}

TEST_F(ViewerTest, DashTPutsTheTimeOfArrivalBeforeEachLine) {
  start(viewer_, {"-t"});
  ASSERT_TRUE(wait_for_error(viewer_, "logged in"));
  daemon_.append("one\ntw");
  daemon_.append("o\n");
  ASSERT_TRUE(viewer_.wait_until([&] { return viewer_.out().size() >= 2 * 13 + 8; }));
  const std::regex stamped(
      "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d one\n\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d two\n");
  EXPECT_TRUE(std::regex_match(viewer_.out(), stamped)) << viewer_.out();
}

TEST(ViewerSetup, UsageConfigurationAndConnectionErrorsEndWithTheirStatus) {
  TempDir dir;
  const auto file = [&](const std::string& name, const std::vector<std::string>& lines) {
    write_file(dir.file(name), config_text(lines));
    return dir.file(name);
  };
  const std::string key = file("key.cfg", {"key = \"3e07b1d4\""});
  const std::string no_key = file("no_key.cfg", {"password = \"secret\""});
  const std::string zero_key = file("zero_key.cfg", {"key = \"00000000\""});
  const std::string web_password =
      file("web_password.cfg", {"key = \"3e07b1d4\"", "web_password = \"open sesame\""});
  const std::string web_browsers =
      file("web_browsers.cfg", {"key = \"3e07b1d4\"", "web_browsers = \"0\""});
  const std::string bad_name = file("bad.cfg", {"key = \"3e07b1d4\"", "name = \"a/b\""});
  const std::string web_second = file("web.cfg", {"key = \"3e07b1d4\"", "web_user = \"me\""});
  const std::string port = std::to_string(free_port());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;  // on standard error, or on standard output for -h
  } cases[] = {
      {{"-h"},
       0,
       "Usage: vantrel-view [-c CONFIGFILE] [-p PORT] [-r] [-n [+]LINES] [-t]\n"
       "                    [--grep PATTERN [--follow]] [--stats] [--web [ADDRESS:]PORT]\n"},
      {{"--help"}, 0, "Usage: vantrel-view "},
      {{"--version"}, 0, "vantrel-view 0.98\n"},
      {{}, 5, "vantrel-view: can't read a configuration file; tried:\n"},
      {{"-c", no_key}, 5, "vantrel-view: '" + no_key + "' sets no key, or a zero one"},
      {{"-c", zero_key}, 5, "vantrel-view: '" + zero_key + "' sets no key, or a zero one"},
      {{"-x"}, 5, "vantrel-view: unknown option '-x'\n"},
      {{"-p", "65536"}, 5, "vantrel-view: not a port from 1 to 65535: '65536'\n"},
      {{"-p", "12ab"}, 5, "vantrel-view: not a port from 1 to 65535: '12ab'\n"},
      {{"-c"}, 5, "vantrel-view: missing value after '-c'\n"},
      {{"-n", "10x"}, 5, "vantrel-view: not a number of lines: '10x'\n"},
      {{"--grep", "/(/"}, 5, "vantrel-view: not a regular expression: missing ): (\n"},
      {{"--follow"}, 5, "no --grep for '--follow'"},
      {{"--stats", "--grep", "x"}, 5, "no --grep or --web with '--stats'"},
      {{"-c", key, "-p", port, "--stats"}, 2, "no counters: connect: Connection refused\n"},
      {{"--web", "localhost:80"},
       5,
       "vantrel-view: not a [ADDRESS:]PORT to serve on: 'localhost:80'\n"},
      {{"one", "two"}, 5, "vantrel-view: more than one host: 'two'\n"},
      {{"-c", web_password, "--web", "0.0.0.0:" + port},
       5,
       "refusing to take the page's password over plain HTTP on 0.0.0.0"},
      {{"-c", web_browsers, "--web", port}, 5, "web_browsers must be a number from 1 to 100000"},
      {{"-c", key, "--web", port, "--tls-cert", key}, 5, "--tls-cert and --tls-key go together"},
      {{"--web-base", "/a b/"}, 5, "not a path of letters, digits and - . _ ~ / to serve under"},
      {{"-c", key, "no-such-host.invalid"}, 3, "unknown host 'no-such-host.invalid': "},
      {{"-c", key, "-p", port}, 3, "connect to 127.0.0.1:" + port + ": Connection refused\n"},
      {{"-c", key, "-c", key}, 5, "'" + key + "' and '" + key + "' both name their source 'key'"},
      {{"-c", key, "-c", bad_name}, 5, "the source name 'a/b' must be 1 to 64 letters, digits"},
      {{"-c", key, "-c", zero_key, "localhost"}, 5, "HOST and -p go with one -c only"},
      {{"-c", key, "-c", web_second},
       5,
       "'" + web_second + "': web_user: the page's entries belong in the first -c file"},
  };
  for (const auto& test : cases) {
    std::vector<std::string> argv = {"vantrel-view"};
    argv.insert(argv.end(), test.args.begin(), test.args.end());
    const Outcome outcome =
        run_to_exit(VANTREL_VIEW_BINARY, argv, dir.path(), 10s, {"HOME=" + dir.path()});
    EXPECT_EQ(outcome.exit_code, test.status) << test.message;
    EXPECT_TRUE(has(test.status == 0 ? outcome.out : outcome.err, test.message)) << outcome.err;
  }
}

TEST(ViewerReassembly, ADaemonThatAnswersWithoutTheCapabilityKeepsItGuessing) {
  TempDir dir;
  write_file(dir.file("login.cfg"), "key = \"3e07b1d4\"\npassword = \"secret\"\n");
  ScriptedDaemon peer;
  Process viewer;
  ASSERT_TRUE(
      viewer.start(VANTREL_VIEW_BINARY,
                   {"vantrel-view", "-c", dir.file("login.cfg"), "-p", std::to_string(peer.port())},
                   dir.path()));
  ASSERT_TRUE(peer.accept_viewer());
  const std::string login = peer.receive_bytes();
  EXPECT_EQ(login, make_frame(std::string("PASS secret\0framed\0new\0whole", 28)));
  peer.send_bytes(make_frame("YIPI /srv/game.log"));
  ASSERT_TRUE(viewer.wait_until([&] { return has(viewer.err(), "following /srv/game.log"); }));
  // Frames without lengths, one run together with the next: read by guessing, exactly.
  peer.send_bytes(make_frame("one\n") + make_frame("two\n"));
  EXPECT_TRUE(viewer.wait_until([&] { return viewer.out() == "one\ntwo\n"; })) << viewer.err();
  EXPECT_EQ(viewer.stop().signal, SIGTERM);
}

}  // namespace
}  // namespace vantrel::testing

namespace vantrel::testing {
namespace {

// Three daemons with their own keys and passwords, followed by one viewer.
struct ThreeDaemons {
  TempDir dir;
  std::vector<std::unique_ptr<Daemon>> daemons;
  std::vector<std::string> args;  // -c for each, in order
  ThreeDaemons() {
    const char* names[] = {"alpha", "beta", "gamma-ray"};
    for (std::size_t i = 0; i < 3; ++i) {
      const std::string key = "key = \"" + std::to_string(11223344 + i) + "\"";
      const std::string password = "password = \"pw " + std::string(names[i]) + "\"";
      DaemonOptions options;
      options.config_lines = {key, password};
      daemons.push_back(std::make_unique<Daemon>(options));
      const std::string file = dir.file(std::to_string(i) + ".cfg");
      write_file(file, config_text({key, password, "name = \"" + std::string(names[i]) + "\"",
                                    "port = \"" + std::to_string(daemons[i]->port()) + "\""}));
      args.insert(args.end(), {"-c", file});
    }
  }
};

// The viewer's output taken apart into each name's lines; false on a line without a name.
bool lines_by_name(const std::string& out, std::map<std::string, std::string>& by_name) {
  std::istringstream lines(out);
  std::string line;
  const std::regex named("(alpha|beta|gamma-ray) *\\| (.*)");
  std::smatch match;
  while (std::getline(lines, line)) {
    if (!std::regex_match(line, match, named)) return false;
    by_name[match[1]] += match[2].str() + "\n";
  }
  return true;
}

TEST(ViewerSources, ThreeDaemonsInterleaveWholeLinesBehindTheirNamesAndOneGoingAwayStopsNoOther) {
  ThreeDaemons three;
  for (auto& daemon : three.daemons) ASSERT_TRUE(daemon->start());
  // A fourth source with a wrong password ends on its own, and makes the exit status 1.
  write_file(three.dir.file("wrong.cfg"),
             config_text({"key = \"11223344\"", "password = \"guess\"", "name = \"wrong\"",
                          "port = \"" + std::to_string(three.daemons[0]->port()) + "\""}));
  std::vector<std::string> argv = {"vantrel-view", "-c", three.dir.file("wrong.cfg")};
  argv.insert(argv.end(), three.args.begin(), three.args.end());
  Process viewer;
  ASSERT_TRUE(viewer.start(VANTREL_VIEW_BINARY, argv, three.dir.path(), {"NO_COLOR=1"}));
  ASSERT_TRUE(viewer.wait_until([&] {
    return has(viewer.err(), "alpha: logged in") && has(viewer.err(), "beta: logged in") &&
           has(viewer.err(), "gamma-ray: logged in") &&
           has(viewer.err(), "vantrel-view: wrong: the daemon refused the password\n");
  })) << viewer.err();

  std::map<std::string, std::string> expected;
  const char* names[] = {"alpha", "beta", "gamma-ray"};
  for (std::size_t round = 0; round < 200; ++round) {
    const std::size_t i = round % 3;
    const std::string line = std::string(names[i]) + " line " + std::to_string(round);
    if (round % 20 == 0) {
      // Written in two pieces, a moment apart, so that the first arrives on its own.
      three.daemons[i]->append(line.substr(0, 7));
      std::this_thread::sleep_for(100ms);
      three.daemons[i]->append(line.substr(7) + "\n");
    } else {
      three.daemons[i]->append(line + "\n");
    }
    expected[names[i]] += line + "\n";
  }
  const auto all_arrived = [&] {
    std::map<std::string, std::string> got;
    return lines_by_name(viewer.out(), got) && got == expected;
  };
  EXPECT_TRUE(viewer.wait_until(all_arrived)) << viewer.out();

  ASSERT_TRUE(three.daemons[1]->stop_and_check());
  ASSERT_TRUE(viewer.wait_until([&] { return has(viewer.err(), "beta: the daemon closed"); }));
  three.daemons[0]->append("alpha after beta left\n");
  three.daemons[2]->append("gamma-ray after beta left\n");
  expected["alpha"] += "alpha after beta left\n";
  expected["gamma-ray"] += "gamma-ray after beta left\n";
  EXPECT_TRUE(viewer.wait_until(all_arrived)) << viewer.out();
  EXPECT_TRUE(viewer.running());
  ASSERT_TRUE(three.daemons[0]->stop_and_check() && three.daemons[2]->stop_and_check());
  ASSERT_TRUE(viewer.wait_for_exit());
  EXPECT_EQ(viewer.outcome().exit_code, 1) << viewer.err();
}

}  // namespace
}  // namespace vantrel::testing
