// The page's /metrics against Debian's Prometheus: promtool finds the text well formed, the
// password guards it unless --metrics-open, and a Prometheus server scraping a relay can be
// asked how many viewers its daemon has.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/viewer.h"

namespace vantrel::testing {
namespace {

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

// A relay of the daemon's, with a password for its page, started in the daemon's folder.
void start_relay(Process& relay, Daemon& daemon, unsigned short port, bool metrics_open) {
  std::vector<std::string> argv = {
      "vantrel-view",      "-c", "relay.cfg", "-p", std::to_string(daemon.port()), "--web",
      std::to_string(port)};
  if (metrics_open) argv.emplace_back("--metrics-open");
  ASSERT_TRUE(relay.start(VANTREL_VIEW_BINARY, argv, daemon.dir().path()));
  ASSERT_TRUE(relay.wait_until([&] { return has(relay.err(), "logged in"); })) << relay.err();
}

TEST(Metrics, PromtoolTakesThemAndPrometheusScrapesARelay) {
  if (access("/usr/bin/prometheus", X_OK) != 0 || access("/usr/bin/promtool", X_OK) != 0) {
    GTEST_SKIP() << "needs Debian's prometheus (scripts/setup.sh ci installs it)";
  }
  Daemon daemon;
  ASSERT_TRUE(daemon.start());
  write_file(daemon.dir().file("relay.cfg"),
             "key = \"3e07b1d4\"\npassword = \"secret\"\nweb_password = \"page secret\"\n");
  const unsigned short guarded_port = free_port();
  const unsigned short open_port = free_port();
  Process guarded;
  Process open;
  start_relay(guarded, daemon, guarded_port, false);
  start_relay(open, daemon, open_port, true);
  EXPECT_EQ(http_get(guarded_port, "metrics").first, 401);
  TestViewer plain;
  ASSERT_TRUE(plain.connect_to(daemon.port()));

  const auto [code, body] = http_get(open_port, "metrics");
  ASSERT_EQ(code, 200) << body;
  EXPECT_TRUE(has(body, "vantrel_relay_refused_total{code=\"401\"} 0\n")) << body;
  write_file(daemon.dir().file("metrics.txt"), body);
  const Outcome checked = run_to_exit(
      "/bin/sh", {"sh", "-c", "promtool check metrics < metrics.txt"}, daemon.dir().path());
  EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.out + checked.err, "");

  const unsigned short prometheus_port = free_port();
  write_file(daemon.dir().file("prometheus.yml"),
             "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: relay\n"
             "    static_configs:\n      - targets: ['127.0.0.1:" +
                 std::to_string(open_port) + "']\n");
  Process prometheus;
  ASSERT_TRUE(
      prometheus.start("/usr/bin/prometheus",
                       {"prometheus", "--config.file=prometheus.yml", "--storage.tsdb.path=data",
                        "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                       daemon.dir().path()));
  // The daemon's viewers: both relays, the plain one, and the scrape's own connection.
  const std::string wanted = "\"value\":[";
  std::string answer;
  EXPECT_TRUE(prometheus.wait_until(
      [&] {
        answer = http_get(prometheus_port, "api/v1/query?query=vantrel_daemon_viewers").second;
        return has(answer, wanted) && has(answer, ",\"4\"]");
      },
      60s))
      << answer << prometheus.err();
  EXPECT_TRUE(has(answer, "\"source\":\"")) << answer;
  prometheus.stop();
  open.stop();
  guarded.stop();
  EXPECT_TRUE(daemon.stop_and_check());
}

}  // namespace
}  // namespace vantrel::testing
