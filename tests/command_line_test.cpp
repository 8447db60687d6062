// The command line: which argument sets which field, and what is reported along the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace {

using namespace std::string_literals;

struct Parsed {
  int result;
  std::string fields;  // port, logfile, configfile and quiet, "-" for an absent text
  std::string out;     // what the parser printed
};

// Parses `args` as if the daemon had been started as "vantrel args...". A given `argc` (which
// counts "vantrel") hands over only that many elements; the rest lie past the vector's end.
Parsed Parse(std::initializer_list<const char*> args, int argc = -1) {
  std::vector<const char*> argv(args.size() + 1, "vantrel");
  std::copy(args.begin(), args.end(), argv.begin() + 1);
  if (argc < 0) argc = static_cast<int>(argv.size());
  vantrel::settings::Settings s;
  ::testing::internal::CaptureStdout();
  const int result = vantrel::settings::parse_command_line(argc, argv.data(), s);
  std::string out = ::testing::internal::GetCapturedStdout();
  return {result,
          std::to_string(s.port) + " " + s.logfile.value_or("-") + " " +
              s.configfile.value_or("-") + " " + std::to_string(s.quiet),
          out};
}

std::string Warning(char as_typed) {
  return "vantrel: Unknown command-line option '"s + as_typed + "' ignored.\n";
}

TEST(CommandLine, OnlyTheSecondCharacterCountsAndUpperCaseIsFolded) {
  const Parsed p = Parse({"stray", "-port", "81", "-F", "x.log", "-config", "c.cfg", "-q", "-Q"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.fields, "81 x.log c.cfg 1");
}

TEST(CommandLine, UnknownOptionsAreReportedAsTypedAndSkipped) {
  const Parsed p = Parse({"-x", "-X", "-", "-1", "-Zq", "-p", "81"});
  EXPECT_EQ(p.result, 0);
  // A bare "-" prints its terminating NUL byte between the quotes.
  EXPECT_EQ(p.out, Warning('x') + Warning('X') + Warning('\0') + Warning('1') + Warning('Z'));
  EXPECT_EQ(p.fields, "81 - - -1");
}

TEST(CommandLine, ValueOptionsTakeTheNextArgumentWhateverItIs) {
  const Parsed p = Parse({"-f", "-q", "-c", "-h", "-p", "-p"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.fields, "0 -q -h -1");
}

TEST(CommandLine, LastOccurrenceWinsAndPortKeepsTheLow16Bits) {
  EXPECT_EQ(Parse({"-p", "81", "-f", "a", "-c", "a", "-p", "82", "-f", "b", "-c", "b"}).fields,
            "82 b b -1");
  EXPECT_EQ(Parse({"-p", "81", "-p", "0"}).fields, "0 - - -1");  // 0 is "not given"
  EXPECT_EQ(Parse({"-p", "-1"}).fields, "65535 - - -1");
  EXPECT_EQ(Parse({"-p", "70000"}).fields, "4464 - - -1");
}

TEST(CommandLine, ValueOptionInLastPlaceReadsNothingPastTheVector) {
  // Each vector holds a value beyond argc: taking it would set the field.
  const Parsed port = Parse({"-q", "-P", "81"}, 3);
  EXPECT_EQ(port.result, 0);
  EXPECT_EQ(port.out, Warning('P'));
  EXPECT_EQ(port.fields, "0 - - 1");

  const Parsed files = Parse({"-f", "a", "-c", "b", "-F", "x"}, 6);
  EXPECT_EQ(files.out, Warning('F'));
  EXPECT_EQ(files.fields, "0 a b -1");
}

TEST(CommandLine, HelpPrintsTheUsageAndStopsExamining) {
  const Parsed p = Parse({"-x", "-q", "-H", "-p", "81", "-y"});
  EXPECT_EQ(p.result, -1);
  EXPECT_TRUE(p.out.starts_with(Warning('x') + "Usage: vantrel [-p PORT] [-f LOGFILENAME]"))
      << p.out;
  EXPECT_TRUE(p.out.ends_with("command-line options override config file ones\n\n"));
  EXPECT_EQ(p.out.find(Warning('y')), std::string::npos);
  EXPECT_EQ(p.fields, "0 - - 1");
}

}  // namespace
