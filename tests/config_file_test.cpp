// The configuration file: where it is looked for, how entries are read, and how values convert.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "settings/settings.h"
#include "support/process.h"

namespace {

using vantrel::settings::Key;
using vantrel::settings::Settings;
using vantrel::testing::TempDir;
using vantrel::testing::write_file;

// Port, password and logfile in one line, "-" for an absent text.
std::string Summary(const Settings& s) {
  return std::to_string(s.port) + " " + s.password.value_or("-") + " " + s.logfile.value_or("-");
}

// Reads `content` as a configuration file named with -c into `settings` (fresh by default).
class ConfigFile : public ::testing::Test {
 protected:
  Settings Read(const std::string& content, Settings settings = {}) {
    const std::string path = dir_.file("chosen.conf");
    write_file(path, content);
    settings.configfile = path;  // not beside the program path: -c is used unchanged
    EXPECT_EQ(vantrel::settings::read_config_file("/nowhere/vantrel", settings), 0);
    return settings;
  }

  TempDir dir_;
};

TEST_F(ConfigFile, AnyRunOfBlanksAndEqualsSignsSeparatesNameAndValue) {
  const Settings s = Read(
      "port=\"81\"\npassword==\"pw\"\nlogfile = \"a b.log\"\n\n\t  key  \"3e07b1d4\"\n"
      "   quiet\t= \"1\"");
  EXPECT_EQ(Summary(s), "81 pw a b.log");
  EXPECT_EQ(s.key, (Key{0x3e, 0x07, 0xb1, 0xd4}));  // most significant byte first
  EXPECT_EQ(s.quiet, -1);                           // "quiet\t" is a name that matches nothing
  EXPECT_FALSE(s.configfile.has_value());
}

TEST_F(ConfigFile, FirstPortLogfileQuietCountLastPasswordKeyCount) {
  const Settings s = Read(
      "port = \"0\"\nport = \"65536\"\nquiet = \"-1\"\n"  // these leave the fields unset
      "port = \"81\"\nport = \"82\"\nlogfile = \"a\"\nlogfile = \"b\"\nquiet = \"2\"\n"
      "quiet = \"3\"\npassword = \"one\"\npassword = \"two\"\nkey = \"1\"\nkey = \"2\"\n");
  EXPECT_EQ(Summary(s), "81 two a");
  EXPECT_EQ(s.quiet, 2);
  EXPECT_EQ(s.key, (Key{0, 0, 0, 2}));
  // A later key without digits wipes out a valid one.
  EXPECT_EQ(Read("key = \"3e07b1d4\"\nkey = \"zz\"\n").key, (Key{0, 0, 0, 0}));

  Settings given;  // as the command line left it
  given.port = 90;
  given.logfile = "given.log";
  given.quiet = 0;
  const Settings kept = Read("port = \"81\"\nlogfile = \"file.log\"\nquiet = \"1\"\n", given);
  EXPECT_EQ(Summary(kept), "90 - given.log");
  EXPECT_EQ(kept.quiet, 0);
}

TEST_F(ConfigFile, TheFirstValidAddressAndTheFirstHistoryCount) {
  Settings s = Read(
      "address = \"localhost\"\naddress = \"127.0.0.1\"\naddress = \"10.0.0.1\"\n"
      "history = \"100\"\nhistory = \"200\"\n");
  EXPECT_EQ(s.written.address.value_or("-"), "127.0.0.1");
  EXPECT_FALSE(s.written.bad_address);
  EXPECT_EQ(s.written.history.value_or("-"), "100");
  s = Read("address = \"127.0.0.256\"\naddress = \"::1\"\n");
  EXPECT_FALSE(s.written.address);
  EXPECT_EQ(s.written.bad_address.value_or("-"), "127.0.0.256");  // the first that gave no address
  // Without either entry nothing changes.
  s = Read("port = \"81\"\n");
  EXPECT_FALSE(s.written.address || s.written.bad_address || s.written.history);
}

TEST_F(ConfigFile, ReadsUntilAnEntryLacksNameSeparatorOrValue) {
  const std::string entries = "port = \"81\"\npassword = \"pw\"\nlogfile = \"x\"\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {entries, "81 pw x"},
      {"\n" + entries, "0 pw x"},  // the first name begins with the newline
      {"\t" + entries, "0 pw x"},
      {" " + entries, "0 - -"},
      {"port\t= \"81\"\npassword = \"pw\"\nlogfile = \"x\"\n", "0 pw x"},
      {"port = \"81\"\n# a remark\npassword = \"pw\"\n", "81 - -"},
      {"port = \"81\" # remark\npassword = \"pw\"\n", "81 - -"},
      {"#remark\nport = \"81\"\npassword = \"pw\"\nlogfile = \"x\"", "0 pw x"},
      {"port = \"81\npassword = \"pw\"\nlogfile = \"x\"\n", "81 - x"},  // no closing quote
      {"port = \"81\"\nlogfile = \"\"\npassword = \"pw\"\n", "81 - -"},
      {std::string(128, 'n') + " = \"v\"\n" + entries, "0 - -"},
      {"port" + std::string(16, ' ') + "\"81\"\n" + entries, "0 - -"},
  };
  for (const auto& [content, summary] : cases) {
    SCOPED_TRACE(content);
    EXPECT_EQ(Summary(Read(content)), summary);
  }
}

// Where reading stops before entries, the daemon names the line and the entries left; a file
// read to its end, or whose rest holds no entry, says nothing.
TEST_F(ConfigFile, AStopBeforeEntriesIsSaidWithTheLineAndTheNamesLeft) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"port = \"81\"\n# the log we follow\nlogfile = \"a\"\nquiet = \"1\"\nlogfile = \"b\"\n",
       "line 2 (\"# the log we follow\"), so these entries were not read: logfile, quiet."},
      {" port = \"81\"\npassword = \"pw\"\n",
       "line 1 (\" port = \"81\"\"), so these entries were not read: port, password."},
      {"port = \"81\" # remark\npassword = \"pw\"\n",
       "line 1 (\"port = \"81\" # remark\"), so these entries were not read: password."},
      {"port = \"81\"\npassword = \"pw\"\n", ""},
      {"port = \"81\"\n# a remark at the end\n\n", ""},
  };
  for (const auto& [content, said] : cases) {
    SCOPED_TRACE(content);
    ::testing::internal::CaptureStdout();
    Read(content);
    const std::string output = ::testing::internal::GetCapturedStdout();
    if (said.empty())
      EXPECT_EQ(output, "");
    else
      EXPECT_NE(output.find("': reading stopped at " + said + "\n"), std::string::npos) << output;
  }
}

// An entry that decides where or how the daemon listens is never lost to a line that stops
// the reading or runs into it: the daemon refuses to start and names the line. Lost entries
// of other names, and misread lines after every guarded entry, leave things as they were.
TEST_F(ConfigFile, AnAddressOrTlsEntryThatWouldGoUnreadStopsTheStart) {
  const std::string entries = "port = \"81\"\npassword = \"pw\"\n";
  const std::vector<std::string> misread = {entries + "# a remark\n", entries + "#remark\n",
                                            entries + "port = \"81\n", " " + entries};
  for (const char* entry : vantrel::settings::kGuardedEntries) {
    const std::string guarded = std::string(entry) + " = \"127.0.0.1\"\n";
    for (const std::string& before : misread) {
      SCOPED_TRACE(before + guarded);
      const std::string path = dir_.file("misread.conf");
      write_file(path, before + guarded);
      Settings settings;
      settings.configfile = path;
      ::testing::internal::CaptureStdout();
      EXPECT_EQ(vantrel::settings::read_config_file("/nowhere/vantrel", settings), -1);
      const std::string said = ::testing::internal::GetCapturedStdout();
      const auto line = std::count(before.begin(), before.end(), '\n') + 1;
      EXPECT_NE(said.find("line " + std::to_string(line) + " gives '" + entry + "'"),
                std::string::npos)
          << said;
      Read(entries + guarded + before);  // read, and the misread lines after it as before
    }
  }
}

TEST_F(ConfigFile, LocatedBesideTheProgramPath) {
  write_file(dir_.file("vantrel.cfg"), "password = \"beside\"\n");
  Settings s;
  EXPECT_EQ(vantrel::settings::read_config_file((dir_.path() + "/vantrel").c_str(), s), 0);
  EXPECT_EQ(s.password, "beside");

  TempDir empty;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(vantrel::settings::read_config_file((empty.path() + "/vantrel").c_str(), s), -1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(empty.path() + "/vantrel.cfg'"),
            std::string::npos);

  using vantrel::settings::config_path_beside;
  EXPECT_EQ(config_path_beside("/opt/x/vantrel"), "/opt/x/vantrel.cfg");
  EXPECT_EQ(config_path_beside("\"/opt/x/vantrel"), "/opt/x/vantrel.cfg");
  EXPECT_EQ(config_path_beside("\"\"/opt/x/vantrel\""), "\"/opt/x/vantrel.cfg");
  EXPECT_EQ(config_path_beside("/a\\b/c\\vantrel"), "/a\\b/vantrel.cfg");
  EXPECT_EQ(config_path_beside("\"vantrel"), "vantrel.cfg");
  EXPECT_EQ(config_path_beside(nullptr), "vantrel.cfg");
}

TEST(ConfigValues, KeyIsHexadecimalWith32BitResults) {
  // clang-format off
  const std::vector<std::pair<const char*, std::uint32_t>> cases = {
      {"3e07b1d4", 0x3e07b1d4}, {"0x3E07B1D4", 0x3e07b1d4}, {"  -1", 0xffffffff},
      {"-2", 0xfffffffe}, {"+1f", 0x1f}, {"123456789", 0xffffffff}, {"-123456789", 0xffffffff},
      {"0000000012345678", 0x12345678}, {"fffffffffffffffffffff1", 0xffffffff},
      {"zz", 0}, {"0xzz", 0}, {"12zz", 0x12},
  };
  // clang-format on
  for (const auto& [text, number] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(vantrel::settings::parse_hex_key(text), number);
  }
}

TEST(ConfigValues, HistoryIsDecimalDigitsUpToOneFrameAndAddressesAreDottedIPv4) {
  std::size_t bytes = 1;
  for (const auto& [text, valid, value] : std::vector<std::tuple<const char*, bool, std::size_t>>{
           {"0", true, 0},
           {"65532", true, 65532},
           {"065532", true, 65532},
           {"65533", false, 0},
           {"-1", false, 0},
           {"", false, 0},
           {"12k", false, 0},
           {"99999999999999999999", false, 0}}) {
    EXPECT_EQ(vantrel::settings::parse_byte_count(text, vantrel::settings::kMostHistory, bytes),
              valid)
        << text;
    if (valid) {
      EXPECT_EQ(bytes, value) << text;
    }
  }
  std::uint32_t address = 0;
  EXPECT_TRUE(vantrel::settings::parse_address("127.0.0.1", address));
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
  for (const char* text : {"127.1", "1.2.3.4 ", "256.0.0.1", "localhost", ""}) {
    EXPECT_FALSE(vantrel::settings::parse_address(text, address)) << text;
  }
}

TEST(ConfigValues, DecimalsKeepTheLow32BitsAndPortsTheLow16) {
  const std::vector<std::pair<const char*, std::uint16_t>> ports = {
      {" +81x", 81},   {"x81", 0},         {"-1", 65535},       {"65536", 0},
      {"70000", 4464}, {"4294967376", 80}, {"-4294967216", 80},
  };
  for (const auto& [text, port] : ports) {
    SCOPED_TRACE(text);
    EXPECT_EQ(vantrel::settings::parse_port(text), port);
  }
  EXPECT_EQ(vantrel::settings::parse_decimal("2147483648"), -2147483647 - 1);
  EXPECT_EQ(vantrel::settings::parse_decimal("99999999999999999999"), -1);  // saturates first
}

}  // namespace
