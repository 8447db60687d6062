// The login exchange over a real socket: what each kind of message gets back, who stays
// connected, and what the daemon reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/viewer.h"

namespace vantrel::testing {
namespace {

class LoginTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.start()); }
  void TearDown() override {
    EXPECT_TRUE(daemon_.stop_and_check()) << daemon_.process().out() << daemon_.process().err();
  }

  // Sends one frame from a fresh viewer and returns the decoded reply.
  std::string exchange(TestViewer& viewer, const std::string& payload,
                       std::uint32_t key = kTestKey) {
    if (viewer.descriptor() < 0) {
      EXPECT_TRUE(viewer.connect_to(daemon_.port()));
    }
    EXPECT_TRUE(viewer.send_frame(payload, key));
    const auto reply = viewer.receive_block();
    if (!reply) return "(no reply)";
    EXPECT_TRUE(looks_whole(*reply)) << reply->size();  // replies carry the daemon's key
    return decode_block(*reply, key);
  }
  // Growth still reaches the viewer: it was not dropped.
  bool still_served(TestViewer& viewer, const std::string& line) {
    daemon_.append(line);
    return viewer.receive_text(line);
  }
  Process& out() { return daemon_.process(); }

  Daemon daemon_;
};

TEST_F(LoginTest, RightPasswordIsAcknowledgedWithTheLogPathWhateverTheSeparator) {
  for (const std::string& separator : {std::string(" "), std::string(":"), std::string(1, '\0')}) {
    TestViewer viewer;
    EXPECT_EQ(exchange(viewer, "PASS" + separator + "secret"), "YIPI " + daemon_.log_path());
    EXPECT_TRUE(still_served(viewer, "line after login\n"));
  }
  EXPECT_TRUE(out().wait_for_output(") successfully logged in.\n", 3));
  EXPECT_NE(out().out().find("vantrel: Got message: 'PASS secret'\n"), std::string::npos);
  EXPECT_NE(out().out().find("vantrel: Got message: 'PASS'\n"), std::string::npos);
}

TEST_F(LoginTest, WrongPasswordIsRefusedAndTheViewerDropped) {
  for (const char* payload :
       {"PASS wrong", "PASS secret\n", "PASS secre", "PASS", "PASS ", "PASS:secret "}) {
    TestViewer viewer;
    EXPECT_EQ(exchange(viewer, payload), "WO!!") << payload;
    EXPECT_TRUE(viewer.wait_closed()) << payload;
  }
  EXPECT_TRUE(out().wait_for_output("vantrel: Wrong Password!(", 6));
  EXPECT_EQ(out().count("vantrel: Client disconnected("), 0);
}

TEST_F(LoginTest, ALoggedInViewerIsDroppedForALaterWrongPassword) {
  TestViewer viewer;
  ASSERT_EQ(exchange(viewer, "PASS secret"), "YIPI " + daemon_.log_path());
  EXPECT_EQ(exchange(viewer, "PASS other"), "WO!!");
  EXPECT_TRUE(viewer.wait_closed());
}

TEST_F(LoginTest, AnythingElseIsEchoedAndTheViewerStays) {
  TestViewer viewer;
  EXPECT_EQ(exchange(viewer, "pass secret"), "pass secret");
  EXPECT_TRUE(out().wait_for_output("vantrel: Client(", 1));
  EXPECT_TRUE(still_served(viewer, "echo done\n"));
  EXPECT_NE(out().out().find(") can't login, probably wrong key.\n"), std::string::npos);
}

TEST_F(LoginTest, AViewerWithAnotherKeyReadsItsOwnTextBack) {
  TestViewer viewer;
  // Unscrambled with the daemon's key this is no login, so it comes back scrambled with the
  // daemon's key over the daemon's reading: the viewer's key undoes that.
  EXPECT_EQ(exchange(viewer, "PASS secret", 0x11223344), "PASS secret");
  EXPECT_TRUE(out().wait_for_output(") can't login, probably wrong key.\n"));
}

TEST_F(LoginTest, HostileBlocksNeitherCrashNorLeakEarlierBytes) {
  TestViewer viewer;
  const std::string earlier(200, 'Z');
  ASSERT_EQ(exchange(viewer, earlier), earlier);
  // A 9-byte block whose trailer points far past the received bytes: the text must end at
  // them, not run on into what the earlier message left in the buffer.
  std::string block = make_frame("PAS") + "\x7f\x7f\x7f";
  block += static_cast<char>(0x80);
  ASSERT_TRUE(viewer.send_raw(block));
  const auto echo = viewer.receive_block();
  ASSERT_TRUE(echo.has_value());
  EXPECT_LE(decode_block(*echo).size(), 9u);
  // A full-size block of garbage is taken apart and echoed without harm.
  TestViewer garbage;
  ASSERT_TRUE(garbage.connect_to(daemon_.port()));
  ASSERT_TRUE(garbage.send_raw(std::string(65536, 'A')));
  EXPECT_TRUE(out().wait_for_output("vantrel: Error decoding data! Attempting to continue...\n"));
  // Reading the daemon's output keeps it from blocking on a full pipe.
  EXPECT_TRUE(out().wait_for_output("can't login, probably wrong key.\n", 3));
  EXPECT_TRUE(still_served(viewer, "survived\n"));
}

// Bytes waiting in the daemon's send queue toward `viewer`, as the kernel lists its sockets.
long send_queue(const TestViewer& viewer) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  getsockname(viewer.descriptor(), reinterpret_cast<sockaddr*>(&local), &size);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X ", ntohs(local.sin_port));
  while (std::getline(table, line)) {
    // "sl local rem st tx_queue:rx_queue ...": the daemon's socket has the viewer as its remote.
    std::istringstream fields(line);
    std::string slot, from, to, state, queues;
    fields >> slot >> from >> to >> state >> queues;
    if ((to + " ").ends_with(wanted))
      return std::stol(queues.substr(0, queues.find(':')), nullptr, 16);
  }
  return 0;
}

TEST_F(LoginTest, ALoginWhileABurstFillsTheSocketIsAnsweredBetweenFramesNotDropped) {
  TestViewer viewer;
  viewer.set_receive_buffer(4096);
  ASSERT_TRUE(viewer.connect_to(daemon_.port()));
  const std::string answer = "YIPI " + daemon_.log_path();
  ASSERT_TRUE(viewer.log_in_framed("secret", answer));
  std::string burst;
  for (int line = 0; burst.size() < (std::size_t{6} << 20); ++line) {
    burst += "burst line " + std::to_string(line) + "\n";
  }
  daemon_.append(burst);
  // The viewer reads nothing until the daemon's side of the socket holds a megabyte, and the
  // daemon waits for room in the middle of a frame.
  ASSERT_TRUE(out().wait_until([&] { return send_queue(viewer) >= (1 << 20); }));
  ASSERT_TRUE(viewer.send_frame(std::string("PASS secret\0framed", 18)));
  daemon_.append("after\n");
  ASSERT_TRUE(viewer.receive_framed_text("after\n", 30s)) << out().out();
  std::string text = viewer.received_text();
  const std::string granted = answer + std::string(1, '\0') + "framed";
  const std::size_t at = text.find(granted);
  ASSERT_NE(at, std::string::npos);
  text.erase(at, granted.size());
  EXPECT_EQ(text, burst + "after\n");
  EXPECT_EQ(out().count("Error sending"), 0);
}

TEST(LoginQuiet, QuietHidesTheReceivedMessages) {
  DaemonOptions options;
  options.extra_args = {"-q"};
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect_to(daemon.port()));
  ASSERT_TRUE(viewer.send_frame("PASS secret"));
  ASSERT_TRUE(daemon.process().wait_for_output(") successfully logged in.\n"));
  EXPECT_EQ(daemon.process().count("vantrel: Got message"), 0);
  EXPECT_TRUE(daemon.stop_and_check());
}

}  // namespace
}  // namespace vantrel::testing
