// The daemon's TLS listener against clients that are not ours, openssl s_client and socat: the
// exact frames to a verified viewer, no log byte to anyone else, handshakes that fail or never
// finish costing the viewer served nothing, and the certificates read again on SIGHUP.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codec/login.h"
#include "support/viewer.h"

namespace vantrel::testing {
namespace {

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

// Certificates made by the installation's own command: a CA, the daemon's for 127.0.0.1, and
// viewer alice's; a second CA's viewer mallory, whom the daemon must not take.
const TempDir& certificates() {
  static const TempDir dir;
  static const bool made = [] {
    bool ok = true;
    for (const char* folder : {"", "/other"}) {
      const std::string where = dir.path() + folder;
      ok = ok && run_to_exit("/bin/sh",
                             {"sh", VANTREL_CERTS_SCRIPT, where, "--name", "127.0.0.1", "--viewer",
                              *folder ? "mallory" : "alice"},
                             dir.path())
                         .exit_code == 0;
    }
    return ok;
  }();
  EXPECT_TRUE(made);
  return dir;
}
std::string certificate(const std::string& name) { return certificates().file(name); }

DaemonOptions tls_options(unsigned short tls_port, bool with_ca) {
  DaemonOptions options;
  options.config_lines.push_back("tls_port = \"" + std::to_string(tls_port) + "\"");
  options.config_lines.push_back("tls_cert = \"" + certificate("daemon.pem") + "\"");
  options.config_lines.push_back("tls_key = \"" + certificate("daemon-key.pem") + "\"");
  if (with_ca) options.config_lines.push_back("tls_ca = \"" + certificate("ca.pem") + "\"");
  return options;
}

// A plain port on loopback that socat carries over TLS to the daemon, verifying it against the
// CA and showing `viewer`'s certificate (none when empty).
class Bridge {
 public:
  Bridge(unsigned short tls_port, const std::string& viewer) : port_(free_port()) {
    std::string tls =
        "OPENSSL:127.0.0.1:" + std::to_string(tls_port) + ",cafile=" + certificate("ca.pem");
    if (!viewer.empty()) {
      tls += ",cert=" + certificate(viewer + ".pem") + ",key=" + certificate(viewer + "-key.pem");
    }
    const std::string listen =
        "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,reuseaddr,fork";
    EXPECT_TRUE(socat_.start("/usr/bin/socat", {"socat", "-d", "-d", listen, tls}, "/"));
    EXPECT_TRUE(socat_.wait_until([&] { return has(socat_.err(), "listening on"); }));
  }
  ~Bridge() { socat_.stop(); }
  std::string said() {
    socat_.wait_until([] { return false; }, std::chrono::milliseconds(10));
    return socat_.err();
  }
  std::unique_ptr<TestViewer> connect() {
    auto viewer = std::make_unique<TestViewer>();
    EXPECT_TRUE(viewer->connect_to(port_));
    return viewer;
  }

 private:
  unsigned short port_;
  Process socat_;
};

// openssl s_client with `viewer`'s certificate (none when empty), printing what it receives.
void start_s_client(Process& client, unsigned short tls_port, const std::string& viewer) {
  std::vector<std::string> argv = {"openssl",  "s_client",
                                   "-connect", "127.0.0.1:" + std::to_string(tls_port),
                                   "-CAfile",  certificate("ca.pem"),
                                   "-quiet",   "-ign_eof"};
  if (!viewer.empty()) {
    argv.insert(argv.end(),
                {"-cert", certificate(viewer + ".pem"), "-key", certificate(viewer + "-key.pem")});
  }
  ASSERT_TRUE(client.start("/usr/bin/openssl", argv, "/"));
}

class TlsDaemon : public ::testing::Test {
 protected:
  explicit TlsDaemon(bool with_ca) : daemon_(tls_options(tls_port_, with_ca)) {}
  void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.process().out(); }
  void TearDown() override { EXPECT_TRUE(daemon_.stop_and_check()) << daemon_.process().out(); }
  bool daemon_says(const std::string& needle) {
    return daemon_.process().wait_until([&] { return has(daemon_.process().out(), needle); });
  }

  unsigned short tls_port_ = free_port();
  Daemon daemon_;
};

class TlsTest : public TlsDaemon, public ::testing::WithParamInterface<bool> {
 protected:
  TlsTest() : TlsDaemon(GetParam()) {}
};

class TlsWithCaTest : public TlsDaemon {
 protected:
  TlsWithCaTest() : TlsDaemon(true) {}
};

TEST_P(TlsTest, AVerifiedOrLoggedInViewerGetsTheExactFramesAndNoOneElseALogByte) {
  const bool with_ca = GetParam();
  Bridge bridge(tls_port_, with_ca ? "viewer-alice" : "");
  auto viewer = bridge.connect();
  ASSERT_TRUE(daemon_says("over TLS"));
  if (!with_ca) {
    // Without a CA, a wrong password is refused and reported with the peer's address, and the
    // right one comes before the first log byte.
    auto guesser = bridge.connect();
    ASSERT_TRUE(guesser->send_frame(std::string("PASS wrong")));
    EXPECT_TRUE(guesser->wait_closed());
    EXPECT_TRUE(daemon_says("127.0.0.1:")) << daemon_.process().out();
    EXPECT_TRUE(daemon_says(": wrong password"));
    // A message that is no login comes back whole, as on the plain port, though TLS sends it
    // in several records.
    auto talker = bridge.connect();
    const std::string echo = make_frame(std::string(30000, 'e'));
    ASSERT_TRUE(talker->send_raw(echo));
    std::string back;
    while (back.size() < echo.size()) {
      const auto block = talker->receive_block();
      if (!block) break;
      back += *block;
    }
    EXPECT_TRUE(back == echo) << back.size() << " bytes came back of " << echo.size();
    daemon_.append("before the login\n");
    EXPECT_FALSE(viewer->receive_block(std::chrono::milliseconds(500)));
    ASSERT_TRUE(viewer->log_in_framed("secret", "YIPI " + daemon_.log_path()));
    ASSERT_TRUE(viewer->receive_framed_text("before the login\n"));
  }
  const std::string text = "one line over TLS\nand another\n";
  daemon_.append(text);
  EXPECT_TRUE(with_ca ? viewer->receive_text(text) : viewer->receive_framed_text(text));

  // Strangers: s_client without a certificate, a certificate from another CA, plain TCP.
  Process no_certificate;
  start_s_client(no_certificate, tls_port_, "");
  Bridge other_ca(tls_port_, "other/viewer-mallory");
  auto mallory = other_ca.connect();
  TestViewer plain;
  ASSERT_TRUE(plain.connect_to(tls_port_));
  const std::string secret = "a line for no stranger\n";
  daemon_.append(secret);
  EXPECT_TRUE(with_ca ? viewer->receive_text(secret) : viewer->receive_framed_text(secret));
  EXPECT_TRUE(plain.wait_closed(std::chrono::seconds(8)));
  EXPECT_TRUE(daemon_says("not finished within 5 seconds"));
  if (with_ca) {
    EXPECT_TRUE(daemon_says("peer did not return a certificate"));
  }
  for (const std::string& seen :
       {no_certificate.out(), mallory->received_text(), plain.received_text()}) {
    EXPECT_FALSE(has(seen, make_frame(secret))) << "a stranger got the log";
  }
  no_certificate.stop();
}

TEST_F(TlsWithCaTest, SClientWithACertificateReceivesTheFramesAsTheyAreSent) {
  Process client;
  start_s_client(client, tls_port_, "viewer-alice");
  ASSERT_TRUE(daemon_says("over TLS"));
  const std::string text = "for s_client\n";
  daemon_.append(text);
  EXPECT_TRUE(client.wait_until([&] { return has(client.out(), make_frame(text)); }));
  client.stop();
}

TEST_F(TlsWithCaTest, BadHandshakesCostTheViewerServedNothingAndHangupReadsTheCertificatesAgain) {
  Bridge bridge(tls_port_, "viewer-alice");
  auto viewer = bridge.connect();
  ASSERT_TRUE(daemon_says("over TLS"));
  std::string expected;
  std::vector<std::unique_ptr<TestViewer>> half_open;
  for (int round = 0; round < 200; ++round) {
    TestViewer garbage;
    if (garbage.connect_to(tls_port_)) garbage.send_raw("GET / HTTP/1.0\r\n\r\n");
    if (round % 10 == 0) {  // some that never say anything, held open past their deadline
      half_open.push_back(std::make_unique<TestViewer>());
      half_open.back()->connect_to(tls_port_);
    }
    const std::string line = "line " + std::to_string(round) + "\n";
    daemon_.append(line);
    expected += line;
  }
  EXPECT_TRUE(viewer->receive_text(expected, std::chrono::seconds(20)));
  EXPECT_TRUE(daemon_says("TLS handshake failed"));

  // A reload that fails keeps the certificates; one that works is used by new handshakes.
  const std::string key = read_file(certificate("daemon-key.pem"));
  write_file(certificate("daemon-key.pem"), "not a key\n");
  kill(daemon_.process().pid(), SIGHUP);
  EXPECT_TRUE(daemon_says("Kept the certificates in use."));
  write_file(certificate("daemon-key.pem"), key);
  kill(daemon_.process().pid(), SIGHUP);
  EXPECT_TRUE(daemon_says("Read the certificates again."));
  auto later = bridge.connect();
  ASSERT_TRUE(daemon_.process().wait_for_output("over TLS", 2));
  daemon_.append("after the reload\n");
  EXPECT_TRUE(later->receive_text("after the reload\n"));
}

// The configuration of a vantrel-view that shows viewer alice's certificate to the daemon on
// `tls_port` and verifies the daemon as `verify` says.
std::string viewer_config(unsigned short tls_port, const std::string& verify) {
  return "key = \"3e07b1d4\"\npassword = \"secret\"\ntls_port = \"" + std::to_string(tls_port) +
         "\"\nviewer_cert = \"" + certificate("viewer-alice.pem") + "\"\nviewer_key = \"" +
         certificate("viewer-alice-key.pem") + "\"\n" + verify;
}

// vantrel-view over TLS: verified by the CA or by a pinned fingerprint, with its own
// certificate, the log byte for byte; a daemon it cannot verify ends it with status 7.
TEST_F(TlsWithCaTest, OurViewerFollowsOverTlsAndRefusesADaemonItCannotVerify) {
  const Outcome fingerprint = run_to_exit(
      "/usr/bin/openssl",
      {"openssl", "x509", "-in", certificate("daemon.pem"), "-noout", "-fingerprint", "-sha256"},
      "/");
  // Pinned as openssl prints it, "sha256 Fingerprint=AB:CD:...".
  const std::string pin = fingerprint.out.substr(0, fingerprint.out.find('\n'));
  const std::string by_ca = "tls_ca = \"" + certificate("ca.pem") + "\"\n";
  std::string expected;
  for (const std::string& verify : {by_ca, "tls_fingerprint = \"" + pin + "\"\n"}) {
    SCOPED_TRACE(verify);
    write_file(daemon_.dir().file("view.cfg"), viewer_config(tls_port_, verify));
    Process viewer;
    ASSERT_TRUE(viewer.start(VANTREL_VIEW_BINARY, {"vantrel-view", "-c", "view.cfg"},
                             daemon_.dir().path()));
    ASSERT_TRUE(viewer.wait_until([&] { return has(viewer.err(), "logged in"); })) << viewer.err();
    std::string text = "over TLS \x01\xfe\xff bytes\n";
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\n";
    daemon_.append(text);
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.out().size() >= text.size(); }));
    EXPECT_EQ(viewer.out(), text);
    viewer.stop();
  }
  const std::string strangers[] = {"tls_ca = \"" + certificate("other/ca.pem") + "\"\n",
                                   "tls_fingerprint = \"" + std::string(64, 'a') + "\"\n"};
  for (const std::string& verify : strangers) {
    write_file(daemon_.dir().file("view.cfg"), viewer_config(tls_port_, verify));
    const Outcome refused = run_to_exit(
        VANTREL_VIEW_BINARY, {"vantrel-view", "-c", "view.cfg", "-r"}, daemon_.dir().path());
    EXPECT_EQ(refused.exit_code, 7) << refused.err;
    EXPECT_TRUE(has(refused.err, "the daemon's certificate")) << refused.err;
  }
}

// A daemon that asks for a certificate and gets none, or one of another CA, refuses our viewer:
// it names viewer_cert and TLS's reason, and ends with status 7 at once, -r or not.
TEST_F(TlsWithCaTest, OurViewerRefusedForItsCertificateSaysWhyAndEnds) {
  const std::string ca = "tls_ca = \"" + certificate("ca.pem") + "\"\n";
  const std::string base = "key = \"3e07b1d4\"\npassword = \"secret\"\ntls_port = \"" +
                           std::to_string(tls_port_) + "\"\n" + ca;
  const std::string mallory = "viewer_cert = \"" + certificate("other/viewer-mallory.pem") +
                              "\"\nviewer_key = \"" + certificate("other/viewer-mallory-key.pem") +
                              "\"\n";
  for (const auto& [extra, reason] :
       {std::pair{std::string(), "a certificate is required"}, std::pair{mallory, "unknown CA"}}) {
    SCOPED_TRACE(reason);
    write_file(daemon_.dir().file("view.cfg"), base + extra);
    const Outcome refused = run_to_exit(
        VANTREL_VIEW_BINARY, {"vantrel-view", "-c", "view.cfg", "-r"}, daemon_.dir().path());
    EXPECT_EQ(refused.exit_code, 7) << refused.err;
    EXPECT_TRUE(has(refused.err, std::string("refused this viewer's certificate (viewer_cert, "
                                             "viewer_key): ") +
                                     reason))
        << refused.err;
    EXPECT_FALSE(has(refused.err, "reconnecting")) << refused.err;
  }
}

// A viewer's login that resumes at `offset` of the file `status` names.
std::string resume_login(const struct stat& status, std::uint64_t offset) {
  const codec::Position at{static_cast<std::uint64_t>(status.st_dev),
                           static_cast<std::uint64_t>(status.st_ino), offset, 0,
                           codec::check_of(nullptr, 0)};
  return codec::login_request("secret",
                              codec::ResumeRequest{codec::ResumeRequest::Kind::kAt, 0, at});
}

// The daemon's counters through vantrel-view --stats, after a scripted run: a TLS viewer, a
// wrong password, a failed handshake, a rotation, a resume that holds and one that cannot.
TEST_F(TlsWithCaTest, TheCountersSayWhatHappened) {
  Bridge bridge(tls_port_, "viewer-alice");
  auto tls_viewer = bridge.connect();
  ASSERT_TRUE(daemon_says("over TLS"));
  TestViewer wrong;
  ASSERT_TRUE(wrong.connect_to(daemon_.port()));
  ASSERT_TRUE(wrong.send_frame("PASS wrong"));
  EXPECT_TRUE(wrong.wait_closed());
  TestViewer stranger;
  ASSERT_TRUE(stranger.connect_to(tls_port_));
  ASSERT_TRUE(stranger.send_raw("GET / HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(daemon_says("TLS handshake failed"));

  const std::string before = "before the rotation\n";
  const std::string after = "after it\n";
  daemon_.append(before);
  ASSERT_TRUE(tls_viewer->receive_text(before));
  ASSERT_EQ(std::rename(daemon_.log_path().c_str(), (daemon_.log_path() + ".1").c_str()), 0);
  write_file(daemon_.log_path(), after);
  ASSERT_TRUE(tls_viewer->receive_text(before + after));
  struct stat status {};
  ASSERT_EQ(stat(daemon_.log_path().c_str(), &status), 0);
  TestViewer resumed;
  TestViewer lost;
  for (const auto& [viewer, inode] :
       {std::pair{&resumed, status.st_ino}, std::pair{&lost, status.st_ino + 1}}) {
    struct stat named = status;
    named.st_ino = inode;
    ASSERT_TRUE(viewer->connect_to(daemon_.port()));
    ASSERT_TRUE(viewer->send_frame(resume_login(named, after.size())));
  }
  ASSERT_TRUE(daemon_.process().wait_for_output("successfully logged in", 2));

  write_file(daemon_.dir().file("view.cfg"),
             "key = \"3e07b1d4\"\npassword = \"secret\"\nport = \"" +
                 std::to_string(daemon_.port()) + "\"\n");
  const Outcome stats = run_to_exit(
      VANTREL_VIEW_BINARY, {"vantrel-view", "-c", "view.cfg", "--stats"}, daemon_.dir().path());
  ASSERT_EQ(stats.exit_code, 0) << stats.err;
  std::map<std::string, std::uint64_t> counters;
  char name[64];
  unsigned long long value = 0;
  for (std::size_t at = 0; at < stats.out.size(); at = stats.out.find('\n', at) + 1) {
    if (std::sscanf(stats.out.c_str() + at, "%63s %llu", name, &value) == 2) counters[name] = value;
  }
  // Now: the TLS viewer, the two that resumed, and --stats' own connection.
  const std::map<std::string, std::uint64_t> expected = {
      {"viewers", 4},
      {"viewers_tls", 1},
      {"viewers_with_whole_log", 1},
      {"connections_accepted", 6},
      {"connections_refused_password", 1},
      {"connections_refused_handshake", 1},
      {"log_rotations", 1},
      {"log_truncations", 0},
      {"log_inode", static_cast<std::uint64_t>(status.st_ino)},
      {"log_size_bytes", after.size()},
      {"log_read_bytes", before.size() + after.size()},
      {"resumes_exact", 1},
      {"resumes_with_gap", 0},
      {"resumes_refused", 1},
      {"viewers_dropped_for_lag", 0},
  };
  for (const auto& [counter, wanted] : expected) {
    EXPECT_EQ(counters[counter], wanted) << counter << " in\n" << stats.out;
  }
  EXPECT_GE(counters["viewers_most"], 4U);
  EXPECT_GE(counters["sent_frames"], 2U);
}

// The page follows the daemon over TLS with the terminal's code and serves HTTPS itself: an
// event stream gets the log, and a connection that never says hello is closed when the time for
// a request is up.
TEST_F(TlsWithCaTest, ThePageFollowsOverTlsAndClosesAConnectionThatNeverSaysHello) {
  write_file(daemon_.dir().file("view.cfg"),
             viewer_config(tls_port_, "tls_ca = \"" + certificate("ca.pem") + "\"\n"));
  daemon_.append("over TLS to the page\n");
  const std::string web_port = std::to_string(free_port());
  Process page;
  ASSERT_TRUE(page.start(VANTREL_VIEW_BINARY,
                         {"vantrel-view", "-c", "view.cfg", "--web", web_port, "--tls-cert",
                          certificate("daemon.pem"), "--tls-key", certificate("daemon-key.pem")},
                         daemon_.dir().path()));
  ASSERT_TRUE(page.wait_until([&] { return has(page.err(), "logged in"); })) << page.err();
  TestViewer silent;
  ASSERT_TRUE(silent.connect_to(static_cast<unsigned short>(std::stoi(web_port))));
  const Outcome stream = run_to_exit(
      "/bin/sh",
      {"sh", "-c",
       // The request, then 2 s of quiet: the end of its input would end the stream.
       "(printf 'GET /events HTTP/1.0\\r\\n\\r\\n'; sleep 2) | socat - OPENSSL:127.0.0.1:" +
           web_port + ",cafile=" + certificate("ca.pem")},
      "/", std::chrono::seconds(15));
  EXPECT_TRUE(has(stream.out, "data: b3ZlciBUTFMgdG8gdGhlIHBhZ2UK\n")) << stream.out << stream.err;
  EXPECT_TRUE(silent.wait_closed(std::chrono::seconds(10)));
  page.stop();
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutACa, TlsTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& case_of) {
                           return case_of.param ? "WithCa" : "WithoutCa";
                         });

}  // namespace
}  // namespace vantrel::testing
