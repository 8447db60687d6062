// The daemon as viewers see it: growth of the log file fanned out to every connected viewer,
// viewers coming and going, and viewers that misbehave.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/service_state.h"
#include "support/viewer.h"

namespace vantrel::testing {
namespace {

constexpr const char* kConnect = "vantrel: Connect from host 127.0.0.1:";
constexpr const char* kSent = "vantrel: Sent something...\n";
constexpr const char* kSendError =
    "vantrel: Error sending data to client(will close client's connection)";

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.start()) << daemon_.process().out(); }
  void TearDown() override {
    EXPECT_TRUE(daemon_.stop_and_check()) << daemon_.process().out() << daemon_.process().err();
  }

  // Connects a viewer and waits until the daemon has taken it into its client set.
  std::unique_ptr<TestViewer> connect_viewer(int receive_buffer = 0) {
    auto viewer = std::make_unique<TestViewer>();
    viewer->set_receive_buffer(receive_buffer);
    EXPECT_TRUE(viewer->connect_to(daemon_.port()));
    ++connections_;
    EXPECT_TRUE(out().wait_until([&] { return accepted() >= connections_; }));
    return viewer;
  }
  int accepted() { return out().count(kConnect) + out().count("vantrel: Too many clients"); }
  // Wakes the loop so that it polls now instead of after its 2-second wait.
  void nudge() {
    TestViewer passer_by;
    passer_by.connect_to(daemon_.port());
    ++connections_;
    ASSERT_TRUE(out().wait_until([&] { return accepted() >= connections_; }));
  }
  Process& out() { return daemon_.process(); }

  Daemon daemon_;
  int connections_ = 0;
};

TEST_F(ServiceTest, GrowthReachesEveryViewerOnceAndSendIsReportedPerViewer) {
  auto first = connect_viewer();
  auto second = connect_viewer();
  daemon_.append("one line\n");
  EXPECT_TRUE(first->receive_text("one line\n"));
  EXPECT_TRUE(second->receive_text("one line\n"));
  EXPECT_TRUE(out().wait_for_output(kSent, 2));
  daemon_.append("another\n");
  EXPECT_TRUE(first->receive_text("one line\nanother\n"));
  EXPECT_TRUE(second->receive_text("one line\nanother\n"));
  EXPECT_TRUE(out().wait_for_output(kSent, 4));
}

// systemd's socket, the test's own: the daemon's notifications, taken as they come (as
// systemd does: a datagram socket holds only a few unread).
class NotifySocket {
 public:
  NotifySocket() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    reader_ = std::thread([this] {
      char text[256];
      for (;;) {
        const ssize_t size = recv(fd_, text, sizeof text, 0);
        if (size <= 0) return;  // shut down
        const std::lock_guard<std::mutex> hold(lock_);
        messages_.emplace_back(text, static_cast<std::size_t>(size));
      }
    });
  }
  ~NotifySocket() {
    shutdown(fd_, SHUT_RDWR);
    reader_.join();
    close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // As systemd sets them for a unit of Type=notify with WatchdogSec.
  std::vector<std::string> environment(int watchdog_ms) const {
    return {"NOTIFY_SOCKET=" + path_, "WATCHDOG_USEC=" + std::to_string(watchdog_ms * 1000)};
  }
  // Whether `message` has come `times` times within `limit`.
  bool wait_for(const std::string& message, int times = 1, Clock::duration limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (std::ranges::count(messages(), message) < times) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  std::vector<std::string> messages() {
    const std::lock_guard<std::mutex> hold(lock_);
    return messages_;
  }

 private:
  TempDir dir_;
  std::string path_ = dir_.file("notify");
  int fd_;
  std::mutex lock_;
  std::vector<std::string> messages_;
  std::thread reader_;
};

// Also under systemd, whose watchdog turns the loop every 100 ms: nobody connected, nothing is
// read. There the daemon says it is ready once it listens, pings, and counts its viewers.
TEST(ServiceIdle, NothingIsTakenWhileNobodyWatchesAndTheNextViewerGetsOneFrameOfIt) {
  for (const bool under_systemd : {false, true}) {
    SCOPED_TRACE(under_systemd ? "under systemd" : "started by hand");
    NotifySocket systemd;
    // More than one frame at start-up makes the first poll observable: it reports a short read.
    DaemonOptions options;
    options.initial_log = std::string(70000, '.');
    if (under_systemd) options.environment = systemd.environment(200);
    Daemon daemon(options);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(daemon.process().wait_for_output("vantrel: log size diff == 70000 but read 65532"));
    const std::string stale = "written while nobody watched\n" + std::string(70000, '-');
    daemon.append(stale);
    // Longer than the wait limit: a daemon that polled while nobody watched would take it now.
    std::this_thread::sleep_for(2500ms);
    TestViewer viewer;
    ASSERT_TRUE(viewer.connect_to(daemon.port()));
    ASSERT_TRUE(viewer.receive_text(stale.substr(0, 65532)));
    EXPECT_EQ(viewer.received_text(), stale.substr(0, 65532));
    EXPECT_TRUE(daemon.process().wait_for_output("vantrel: log size diff == 70029 but read 65532"));
    daemon.append("live\n");
    EXPECT_TRUE(viewer.receive_text("live\n"));
    EXPECT_EQ(viewer.received_text(), stale.substr(0, 65532) + "live\n");
    if (under_systemd) {
      EXPECT_TRUE(systemd.wait_for("STATUS=1 viewer"));
      EXPECT_TRUE(systemd.wait_for("WATCHDOG=1", 20));
      const std::vector<std::string> said = systemd.messages();
      ASSERT_FALSE(said.empty());
      EXPECT_EQ(said.front(), "READY=1");
      EXPECT_EQ(std::ranges::count(said, "READY=1"), 1);
    } else {
      EXPECT_FALSE(systemd.wait_for("READY=1", 1, 100ms));
    }
    EXPECT_TRUE(daemon.stop_and_check());
  }
}

TEST_F(ServiceTest, AViewerThatLeavesIsDroppedAndTheOthersGoOn) {
  auto leaving = connect_viewer();
  auto staying = connect_viewer();
  const int leaving_descriptor_report = out().count("vantrel: Client disconnected(");
  leaving->close_now();
  ASSERT_TRUE(
      out().wait_for_output("vantrel: Client disconnected(", leaving_descriptor_report + 1));
  daemon_.append("still here\n");
  EXPECT_TRUE(staying->receive_text("still here\n"));
}

TEST_F(ServiceTest, AnAppendIsSeenAtOnceAndLargeGrowthArrivesWholeInOrder) {
  auto viewer = connect_viewer();
  // The daemon polled for the connection and now waits up to 2 seconds: only the change
  // watch brings the line in well before that.
  daemon_.append("at once\n");
  ASSERT_TRUE(viewer->receive_text("at once\n", 1s));
  std::string growth;
  for (int line = 0; growth.size() < 300000; ++line)
    growth += "line " + std::to_string(line) + "\n";
  daemon_.append(growth);
  ASSERT_TRUE(viewer->receive_text(growth, 15s));
  EXPECT_EQ(viewer->received_text(), "at once\n" + growth);
  EXPECT_TRUE(out().wait_for_output(kSent, 1 + 5));  // 300 KB take at least five frames
  EXPECT_EQ(out().out().find("vantrel: log size diff"), std::string::npos);
}

TEST_F(ServiceTest, RotationAndTruncationSendTheNewContentFromItsStart) {
  auto viewer = connect_viewer();
  daemon_.append("0123456789\n");
  ASSERT_TRUE(viewer->receive_text("0123456789\n"));
  write_file(daemon_.log_path(), "cut back\n");
  ASSERT_TRUE(viewer->receive_text("0123456789\ncut back\n"));
  EXPECT_TRUE(out().wait_for_output("vantrel: Log file truncated! Will send next update.\n"));

  // Rename and create, the new file appearing a moment later, the old one written meanwhile.
  const std::string moved = daemon_.log_path() + ".1";
  ASSERT_EQ(rename(daemon_.log_path().c_str(), moved.c_str()), 0);
  append_file(moved, "old last line\n");
  std::this_thread::sleep_for(50ms);
  write_file(daemon_.log_path(), "new first line\n");
  EXPECT_TRUE(viewer->receive_text("old last line\nnew first line\n"));
  EXPECT_EQ(viewer->received_text(), "0123456789\ncut back\nold last line\nnew first line\n");
}

TEST(ServiceRemoval, ALogFileRemovedForGoodStopsTheDaemon) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start());
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect_to(daemon.port()));
  ASSERT_TRUE(daemon.process().wait_for_output(kConnect));
  ASSERT_EQ(unlink(daemon.log_path().c_str()), 0);
  ASSERT_TRUE(daemon.process().wait_for_exit());
  EXPECT_EQ(daemon.process().outcome().exit_code, 255);
  EXPECT_NE(
      daemon.process().err().find("vantrel: Error stat'ing log file: No such file or directory\n"),
      std::string::npos);
}

TEST_F(ServiceTest, AViewerThatStopsReadingIsDroppedAndTheOthersKeepReceiving) {
  auto stalled = connect_viewer(4096);
  auto reader = connect_viewer();
  const std::string filler(60000, 'x');
  for (int chunk = 0; chunk < 400 && out().err().find(kSendError) == std::string::npos; ++chunk) {
    const std::string marker = "chunk " + std::to_string(chunk) + "\n";
    daemon_.append(filler + marker);
    nudge();
    ASSERT_TRUE(reader->receive_text(marker, 15s)) << out().err();
  }
  ASSERT_NE(out().err().find(kSendError), std::string::npos);
  EXPECT_TRUE(stalled->wait_closed());
  daemon_.append("after the drop\n");
  nudge();
  EXPECT_TRUE(reader->receive_text("after the drop\n"));
}

TEST_F(ServiceTest, ViewersWithAndWithoutLengthsGetTheSameLogEachInItsOwnFraming) {
  auto framed = connect_viewer();
  ASSERT_TRUE(framed->log_in_framed("secret", "YIPI " + daemon_.log_path()));
  auto plain = connect_viewer();
  std::string log;
  for (const std::string& piece :
       {std::string("first\n"), std::string(150000, 'y') + "\n", std::string("last\n")}) {
    daemon_.append(piece);
    log += piece;
  }
  // A block that is not whole frames without lengths, or lengths and frames, fails these.
  EXPECT_TRUE(framed->receive_framed_text("last\n"));
  EXPECT_TRUE(plain->receive_text("last\n"));
  EXPECT_EQ(framed->received_text(), log);
  EXPECT_EQ(plain->received_text(), log);
}

TEST_F(ServiceTest, ASlowViewerLagsThroughABurstAndGetsAllOfItWhileOthersGetFramesAtOnce) {
  // Its small receive buffer leaves frames sent in part, to be finished later.
  auto slow = connect_viewer(4096);
  ASSERT_TRUE(slow->log_in_framed("secret", "YIPI " + daemon_.log_path()));
  auto fast = connect_viewer();
  ASSERT_TRUE(fast->log_in_framed("secret", "YIPI " + daemon_.log_path()));
  std::string log;
  for (int chunk = 0; chunk < 48; ++chunk) {
    const std::string piece = std::string(65000, static_cast<char>('a' + chunk % 26)) + "\n";
    daemon_.append(piece);
    log += piece;
  }
  daemon_.append("marker\n");
  log += "marker\n";
  EXPECT_TRUE(fast->receive_framed_text("marker\n"));
  EXPECT_TRUE(slow->receive_framed_text("marker\n", 60s));
  EXPECT_EQ(fast->received_text(), log);
  EXPECT_EQ(slow->received_text(), log);
  EXPECT_EQ(out().err().find(kSendError), std::string::npos);
}

TEST_F(ServiceTest, ViewersBeyondDescriptor63AreClosedAtOnceAndTheRestServed) {
  std::vector<std::unique_ptr<TestViewer>> viewers;
  while (out().count("vantrel: Too many clients") < 3) {
    ASSERT_LT(viewers.size(), 80u);
    viewers.push_back(connect_viewer());
  }
  EXPECT_NE(out().out().find("vantrel: Too many clients, closing connection from 127.0.0.1:"),
            std::string::npos);
  EXPECT_NE(out().out().find("(63).\n"), std::string::npos);
  // The change watch and the kept log file lie above the descriptors the viewers may have.
  for (int d = 0; d < service::kMaxDescriptors; ++d) {
    const std::string link = "/proc/" + std::to_string(out().pid()) + "/fd/" + std::to_string(d);
    char target[256] = {};
    if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
    EXPECT_EQ(std::string(target).find("inotify"), std::string::npos) << d;
    EXPECT_EQ(std::string(target).find("test.log"), std::string::npos) << d;
  }
  for (std::size_t i = viewers.size() - 3; i < viewers.size(); ++i) {
    EXPECT_TRUE(viewers[i]->wait_closed());
  }
  viewers.resize(viewers.size() - 3);
  daemon_.append("to all who fit\n");
  for (auto& viewer : viewers) EXPECT_TRUE(viewer->receive_text("to all who fit\n"));
  EXPECT_TRUE(out().wait_for_output(kSent, static_cast<int>(viewers.size())));
  EXPECT_EQ(out().count(kSent), static_cast<int>(viewers.size()));
}

TEST_F(ServiceTest, AViewerThatVanishesMidStreamDoesNotEndTheDaemon) {
  auto doomed = connect_viewer();
  daemon_.append("pending growth\n");
  // A message and then a reset: the reply and the next broadcast go to a dead connection.
  doomed->send_frame("hello");
  doomed->reset();
  ASSERT_TRUE(out().wait_until([&] {
    return out().count("vantrel: Client disconnected(") > 0 ||
           out().err().find(kSendError) != std::string::npos;
  }));
  auto survivor = connect_viewer();
  daemon_.append("after the crash\n");
  EXPECT_TRUE(survivor->receive_text("after the crash\n"));
}

TEST_F(ServiceTest, ReadyDescriptorsAreHandledInAscendingOrder) {
  auto speaker = connect_viewer();
  // Both become ready while the daemon is stopped: the listener, the lower descriptor, first.
  daemon_.pause();
  TestViewer newcomer;
  ASSERT_TRUE(newcomer.connect_to(daemon_.port()));
  ASSERT_TRUE(speaker->send_frame("hello"));
  daemon_.resume();
  ASSERT_TRUE(out().wait_for_output("vantrel: Got message: 'hello'"));
  ASSERT_TRUE(out().wait_for_output(kConnect, connections_ + 1));
  EXPECT_LT(out().out().rfind(kConnect), out().out().find("vantrel: Got message: 'hello'"));
}

TEST(ServiceWithoutWatch, FallsBackToPollingEveryTwoSeconds) {
  DaemonOptions options;
  options.environment = {without_inotify()};
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  EXPECT_TRUE(daemon.process().wait_for_output(
      "vantrel: Can't watch the log file (Too many open files), polling it every 2 seconds.\n"));
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect_to(daemon.port()));
  ASSERT_TRUE(daemon.process().wait_for_output(kConnect));
  for (const char* line : {"polled\n", "polled again\n"}) {
    daemon.append(line);
    EXPECT_TRUE(viewer.receive_text(line, 3500ms));
  }
  EXPECT_TRUE(daemon.stop_and_check());
}

// An IPv4 address of this machine other than a loopback one, if it has any.
std::optional<in_addr> other_local_address() {
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return std::nullopt;
  std::optional<in_addr> found;
  for (ifaddrs* at = all; at != nullptr && !found; at = at->ifa_next) {
    if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
    const in_addr address = reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr;
    if ((ntohl(address.s_addr) >> 24) != 127) found = address;
  }
  freeifaddrs(all);
  return found;
}

bool connects(in_addr address, unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr = address;
  peer.sin_port = htons(port);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
  close(fd);
  return connected;
}

TEST(ServiceAddress, ADaemonOnTheLoopbackAddressIsReachedThereOnly) {
  DaemonOptions options;
  options.config_lines.push_back("address = \"127.0.0.1\"");
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  EXPECT_TRUE(daemon.process().wait_for_output("vantrel: Listening on address 127.0.0.1\n"));
  const std::optional<in_addr> other = other_local_address();
  if (!other) GTEST_SKIP() << "this machine has no IPv4 address but loopback ones";
  EXPECT_FALSE(connects(*other, daemon.port()));
  EXPECT_TRUE(connects(in_addr{htonl(INADDR_LOOPBACK)}, daemon.port()));
  EXPECT_TRUE(daemon.stop_and_check());
}

TEST(ServiceHistory, ANewViewerGetsTheLastWholeLinesAtOnceAndNothingMore) {
  DaemonOptions options;
  options.config_lines.push_back("history = \"20\"");
  options.initial_log = "first line\nsecond line\nthird line\n";
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect_to(daemon.port()));
  // The last 20 bytes begin inside "second line": the viewer gets the line after it.
  ASSERT_TRUE(viewer.receive_text("third line\n", 1s));
  daemon.append("live\n");
  ASSERT_TRUE(viewer.receive_text("live\n"));
  EXPECT_EQ(viewer.received_text(), "third line\nlive\n");
  EXPECT_TRUE(daemon.stop_and_check());
}

TEST(ServiceQuiet, QuietSuppressesTheSendReport) {
  DaemonOptions options;
  options.extra_args = {"-q"};
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  TestViewer viewer;
  ASSERT_TRUE(viewer.connect_to(daemon.port()));
  ASSERT_TRUE(daemon.process().wait_for_output(kConnect));
  daemon.append("quietly\n");
  EXPECT_TRUE(viewer.receive_text("quietly\n"));
  EXPECT_EQ(daemon.process().count(kSent), 0);
  EXPECT_TRUE(daemon.stop_and_check());
}

}  // namespace
}  // namespace vantrel::testing
