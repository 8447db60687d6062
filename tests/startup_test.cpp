// Start-up as a user sees it: the real daemon's exact output, streams and exit status.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/process.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using vantrel::testing::Outcome;
using vantrel::testing::TempDir;
using vantrel::testing::write_file;

const std::string kBanner = "vantrel 0.98 'vantrel -h' for configuration help.\n\n";
const std::string kUsage =
    "Usage: vantrel [-p PORT] [-f LOGFILENAME] [-c CONFIGFILENAME] [-q] [-h]\n"
    "\n"
    "-q: \"quiet\": less output\n"
    "-h: this text\n"
    "\n"
    "Defaults: PORT = 55920\n"
    "          LOGFILENAME = qconsole.log\n"
    "          CONFIGFILENAME = vantrel.cfg\n"
    "\n"
    "config file options: port = \"PORT\"\n"
    "                     password = \"PASSWORD\"\n"
    "                     logfile = \"LOGFILENAME\"\n"
    "                     quiet = \"0\" or \"1\"\n"
    "                     key = \"HASHKEY\": 8 hexadecimal digits\n"
    "\n"
    "command-line options override config file ones\n"
    "\n";
// Seven digits, and three zero bytes: only a key of 0 is refused.
const std::string kValid = "password = \"pw\"\nkey = \"1000000\"\n";

// The daemon runs in its own working folder, and believes it was started from bin_, so the
// configuration file is only found when it is looked for beside the program path.
class StartUp : public ::testing::Test {
 protected:
  std::string Program() const { return bin_.file("vantrel"); }
  void Config(const std::string& content) const { write_file(bin_.file("vantrel.cfg"), content); }
  // Runs the daemon with `argv` (argv[0] included) and expects it to stop during start-up.
  void ExpectStop(const std::vector<std::string>& argv, const std::string& out,
                  const std::string& err = "") const {
    const Outcome o = vantrel::testing::run_to_exit(VANTREL_BINARY, argv, cwd_.path());
    EXPECT_EQ(o.out, out);
    EXPECT_EQ(o.err, err);
    EXPECT_EQ(o.exit_code, 255);
  }

  TempDir bin_;
  TempDir cwd_;
};

TEST_F(StartUp, HelpPrintsBannerAndUsageWithoutReadingTheConfiguration) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{Program(), "-h", "-x"}, ""},
      {{Program(), "-x", "-h"}, "vantrel: Unknown command-line option 'x' ignored.\n"},
      {{Program(), "-", "-H"}, "vantrel: Unknown command-line option '\0' ignored.\n"s},
  };
  for (const auto& [args, warnings] : cases) {
    SCOPED_TRACE(args[1]);
    ExpectStop(args, kBanner + warnings + kUsage);
  }
}

TEST_F(StartUp, ConfigurationIsLookedForBesideTheProgramOrWhereDashCSays) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{Program()}, bin_.file("vantrel.cfg")},
      {{'"' + Program()}, bin_.file("vantrel.cfg")},
      {{"vantrel"}, "vantrel.cfg"},
      {{Program(), "-c", "other.conf"}, "other.conf"},
  };
  for (const auto& [argv, path] : cases) {
    SCOPED_TRACE(argv.front());
    ExpectStop(argv, kBanner,
               "vantrel: Error opening config file '" + path + "': No such file or directory\n");
  }
}

TEST_F(StartUp, RefusesToStartWithoutPasswordOrWithZeroKey) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"port = \"81\"\n",
       "vantrel: You have to set a password in your config file!vantrel: Add a line like this in "
       "it: password = \"bRiGhTlAMp\""},
      {"password = \"pw\"\nkey = \"0x0zz\"\n",
       "vantrel: Key is invalid! Verify it you config file.\n"
       "vantrel: Key must be an 8 digits hexadecimal number(eg.: 3e07b1d4).\n"},
  };
  for (const auto& [config, messages] : cases) {
    SCOPED_TRACE(config);
    Config(config);
    ExpectStop({Program()}, kBanner + messages);
  }
}

TEST_F(StartUp, RefusesAnAddressOrAHistoryItCannotUse) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"address = \"127.0.0.256\"\n",
       "vantrel: Can't listen on address '127.0.0.256': give a dotted IPv4 address such as "
       "127.0.0.1, or no address entry to listen on all.\n"},
      {"history = \"65533\"\n",
       "vantrel: Can't send a history of '65533' bytes: give a number from 0 to 65532.\n"},
  };
  for (const auto& [config, messages] : cases) {
    SCOPED_TRACE(config);
    Config(kValid + config);
    ExpectStop({Program()}, kBanner + messages);
  }
}

TEST_F(StartUp, OutOfMemoryWhileLocatingTheConfigurationSaysSo) {
#ifdef VANTREL_SANITIZED
  GTEST_SKIP() << "the sanitizers' allocator cannot be replaced by a preloaded malloc";
#endif
  // A program path long enough that the configuration file's path needs the heap, where every
  // allocation of 300 to 700 bytes fails.
  const std::string program = bin_.path() + "/" + std::string(400, 'x') + "/vantrel";
  const Outcome o =
      vantrel::testing::run_to_exit(VANTREL_BINARY, {program}, cwd_.path(), 10s,
                                    {std::string("LD_PRELOAD=") + VANTREL_MALLOC_SHIM});
  EXPECT_EQ(o.out, kBanner + "vantrel: Something's wrong. Exiting.\n");
  EXPECT_EQ(o.exit_code, 255);
  EXPECT_EQ(o.signal, 0);
}

TEST_F(StartUp, MissingLogFileStopsAfterTheDefaultsAreReported) {
  Config("port = \"0\"\n" + kValid);
  ExpectStop({Program(), "-p", "0"},
             kBanner +
                 "vantrel: No port specified on command-line or in config file, using "
                 "default(55920).\n"
                 "vantrel: No log filename specified on command-line or in config file, "
                 "using default(qconsole.log).\n"
                 "vantrel: Listening to port 55920\n"
                 "vantrel: Log file: 'qconsole.log'\n",
             "vantrel: Error stat'ing log file: No such file or directory\n");
}

TEST_F(StartUp, APortInUseOrAnUnusableCertificateStopsTheStartNamingTheListener) {
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(taken, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));

  Config(kValid + "logfile = \"app.log\"\n");
  write_file(cwd_.file("app.log"), "");
  ExpectStop({Program(), "-p", port},
             kBanner + "vantrel: Listening to port " + port + "\nvantrel: Log file: 'app.log'\n",
             "vantrel: bind: Address already in use\nvantrel: Error starting server. Exiting.\n");

  // The TLS listener names itself, and a certificate it cannot use stops the start before the
  // daemon says it waits.
  const std::string plain = std::to_string(vantrel::testing::free_port());
  Config(kValid + "logfile = \"app.log\"\ntls_port = \"" + port +
         "\"\ntls_cert = \"none.pem\"\ntls_key = \"none-key.pem\"\n");
  Outcome o = vantrel::testing::run_to_exit(VANTREL_BINARY, {Program(), "-p", plain}, cwd_.path());
  EXPECT_EQ(o.err,
            "vantrel: TLS listener 0.0.0.0:" + port +
                ": bind: Address already in use\nvantrel: Error starting server. Exiting.\n");
  close(taken);
  o = vantrel::testing::run_to_exit(VANTREL_BINARY, {Program(), "-p", plain}, cwd_.path());
  EXPECT_NE(o.out.find("vantrel: TLS listener 0.0.0.0:" + port +
                       ": Can't use the certificate 'none.pem'"),
            std::string::npos)
      << o.out;
  EXPECT_EQ(o.out.find("Waiting for clients connection"), std::string::npos) << o.out;
  EXPECT_EQ(o.exit_code, 255);
}

TEST_F(StartUp, CommandLineOverridesTheFileAndTheDaemonWaitsForViewers) {
  const std::string port = std::to_string(vantrel::testing::free_port());
  Config("port = \"81\"\nlogfile = \"file.log\"\n" + kValid);
  write_file(cwd_.file("given.log"), "");
  vantrel::testing::Process daemon;
  ASSERT_TRUE(
      daemon.start(VANTREL_BINARY, {Program(), "-p", port, "-f", "given.log"}, cwd_.path()));
  const std::string waiting = "vantrel: Waiting for clients connection...\n";
  EXPECT_TRUE(daemon.wait_for_output(waiting)) << daemon.out() << daemon.err();
  const Outcome o = daemon.stop();
  EXPECT_EQ(o.out, kBanner + "vantrel: Listening to port " + port +
                       "\nvantrel: Log file: 'given.log'\n" + waiting);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.signal, SIGTERM);  // ran until stopped
}

}  // namespace
