// The whole log through the real daemon: ranges and searches asked for by position, against
// random files (any bytes, long and short lines, with or without a last newline), checked
// against the file itself and a plain line-by-line scan; and the requests the daemon refuses.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <re2/re2.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "codec/frame.h"
#include "codec/login.h"
#include "codec/whole.h"
#include "follow/length_reader.h"
#include "settings/settings.h"
#include "support/process.h"
#include "support/viewer.h"

namespace vantrel::testing {
namespace {

using codec::Answer;
using codec::AnswerKind;
using codec::WholeRequest;

const codec::Key kKey = settings::key_from_number(kTestKey);

// A viewer granted the whole log, reading the daemon's stream by its lengths.
class WholeClient {
 public:
  bool log_in(unsigned short port) {
    if (!viewer_.connect_to(port)) return false;
    const codec::ResumeRequest at_end{codec::ResumeRequest::Kind::kBytes, 0, {}};
    if (!viewer_.send_frame(codec::login_request("secret", at_end, true))) return false;
    std::vector<std::uint8_t> before;
    while (true) {
      const auto block = viewer_.receive_block();
      if (!block) return false;
      before.insert(before.end(), block->begin(), block->end());
      std::string path;
      bool whole = false;
      if (const auto end = follow::find_positions_grant(before, 0, kKey, path, &whole)) {
        if (!whole) return false;
        reader_.key = kKey;
        feed(before.data() + *end, before.size() - *end);
        return !reader_.notices.empty() || wait_for_notice();
      }
    }
  }

  const codec::Position& start() const { return start_; }

  void send(const WholeRequest& request) { send_text(codec::request_text(request)); }
  void send_text(const std::string& text) {
    std::string frame = make_frame(text);
    std::string prefix(4, '\0');
    codec::write_length_prefix(reinterpret_cast<std::uint8_t*>(prefix.data()), frame.size());
    ASSERT_TRUE(viewer_.send_raw(prefix + frame));
  }

  // Answers to `id` until one that ends it (a range's end, a search's end, a refusal), or with
  // `first_only` the first one.
  std::vector<Answer> answers_to(std::uint32_t id, bool first_only = false) {
    std::vector<Answer> taken;
    for (;;) {
      while (next_ < answers_.size()) {
        const auto answer = codec::read_answer(answers_[next_].data(), answers_[next_].size());
        ++next_;
        if (!answer || answer->id != id) continue;
        taken.push_back(*answer);
        if (first_only || answer->kind == AnswerKind::kRangeEnd ||
            answer->kind == AnswerKind::kDone || answer->kind == AnswerKind::kRefused) {
          return taken;
        }
      }
      const auto block = viewer_.receive_block();
      if (!block) {
        ADD_FAILURE() << "no end to request " << id;
        return taken;
      }
      feed(reinterpret_cast<const std::uint8_t*>(block->data()), block->size());
    }
  }

  TestViewer& viewer() { return viewer_; }

 private:
  void feed(const std::uint8_t* data, std::size_t size) {
    follow::add_length_receive(reader_, data, size);
    ASSERT_FALSE(reader_.malformed);
    if (!reader_.notices.empty() && start_.device == 0) start_ = reader_.notices[0].second.position;
    // Kept here: the reader lets go of them at its next receive.
    for (auto& answer : reader_.answers) answers_.push_back(std::move(answer));
  }
  bool wait_for_notice() {
    while (start_.device == 0) {
      const auto block = viewer_.receive_block();
      if (!block) return false;
      feed(reinterpret_cast<const std::uint8_t*>(block->data()), block->size());
    }
    return true;
  }

  TestViewer viewer_;
  follow::LengthReader reader_;
  std::vector<std::vector<std::uint8_t>> answers_;
  std::size_t next_ = 0;
  codec::Position start_;
};

codec::Position at_offset(const codec::Position& in_file, std::uint64_t offset) {
  return codec::Position{in_file.device, in_file.inode, offset, 0, codec::check_of(nullptr, 0)};
}

WholeRequest lines_request(std::uint32_t id, bool before, const codec::Position& at,
                           std::uint64_t count) {
  WholeRequest request;
  request.kind = WholeRequest::Kind::kLines;
  request.id = id;
  request.before = before;
  request.at = at;
  request.count = count;
  return request;
}

WholeRequest find_request(std::uint32_t id, bool before, const codec::Position& at,
                          std::uint64_t most, bool regex, const std::string& pattern) {
  WholeRequest request = lines_request(id, before, at, most);
  request.kind = WholeRequest::Kind::kFind;
  request.regex = regex;
  request.pattern = pattern;
  return request;
}

// A log of every kind of line: text, bytes of any value, now and then one longer than the
// daemon looks at in a turn, and sometimes no newline at the end.
std::string random_log(std::mt19937& random) {
  std::string log;
  const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 3 << 20)(random);
  while (log.size() < size) {
    const int kind = std::uniform_int_distribution<int>(0, 19)(random);
    std::size_t length = std::uniform_int_distribution<std::size_t>(0, 120)(random);
    if (kind == 0)
      length = std::uniform_int_distribution<std::size_t>(200 << 10, 400 << 10)(random);
    for (std::size_t i = 0; i < length; ++i) {
      log += kind == 1 ? static_cast<char>(random() % 256)
                       : static_cast<char>("abcdefghij KLMNOP=:0123"[random() % 23]);
    }
    if (kind != 2) log += '\n';
  }
  if (std::bernoulli_distribution(0.5)(random) && !log.empty() && log.back() == '\n') {
    log += "no newline at the end";
  }
  return log;
}

bool starts_line(const std::string& log, std::uint64_t offset) {
  return offset == 0 || log[offset - 1] == '\n';
}

// The file's lines that a plain scan finds, oldest first, each with where it starts.
std::vector<std::pair<std::uint64_t, std::string>> scan_lines(const std::string& log,
                                                              std::uint64_t end, bool regex,
                                                              const std::string& pattern) {
  RE2::Options options;
  options.set_never_nl(true);
  options.set_log_errors(false);
  bool fold = !regex && std::none_of(pattern.begin(), pattern.end(), [](char c) {
    return std::isupper(static_cast<unsigned char>(c)) != 0;
  });
  options.set_literal(!regex);
  options.set_case_sensitive(!fold);
  RE2 matcher(pattern, options);
  std::vector<std::pair<std::uint64_t, std::string>> found;
  for (std::uint64_t at = 0; at < end;) {
    const std::size_t newline = log.find('\n', at);
    const std::uint64_t stop = newline == std::string::npos || newline >= end ? end : newline + 1;
    const std::string line = log.substr(at, stop - at);
    const std::string text = line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
    const bool matches =
        matcher.ok() ? RE2::PartialMatch(text, matcher) : text.find(pattern) != std::string::npos;
    if (matches) found.emplace_back(at, line);
    at = stop;
  }
  return found;
}

// Pages of lines asked for in one direction until its edge, joined in the file's order.
std::string page_through(WholeClient& client, std::mt19937& random, const std::string& log,
                         bool before, std::uint64_t from, std::uint32_t& id) {
  std::string joined;
  std::vector<std::string> pages;
  for (std::uint64_t at = from;;) {
    const std::uint64_t count = std::uniform_int_distribution<std::uint64_t>(1, 3000)(random);
    client.send(lines_request(++id, before, at_offset(client.start(), at), count));
    std::string page;
    std::uint64_t first = 0;
    const std::vector<Answer> answers = client.answers_to(id);
    for (const Answer& answer : answers) {
      if (answer.kind != AnswerKind::kBytes) continue;
      if (page.empty()) first = answer.offset;
      EXPECT_EQ(answer.offset, first + page.size()) << "bytes out of order";
      page += answer.bytes;
    }
    const Answer& end = answers.back();
    if (end.kind != AnswerKind::kRangeEnd) {
      ADD_FAILURE() << "no range end for request " << id;
      return joined;
    }
    if (!page.empty()) {
      EXPECT_EQ(first, end.offset);
    }
    EXPECT_EQ(end.length - end.offset, page.size());
    EXPECT_EQ(before ? end.length : end.offset, at);
    // Whole lines: a page starts at a line start, unless the most bytes a range holds cut it.
    const std::uint64_t lines =
        static_cast<std::uint64_t>(std::count(page.begin(), page.end(), '\n'));
    EXPECT_LE(lines, count);
    if (page.size() < codec::kMostRangeBytes / 2) {
      EXPECT_TRUE(starts_line(log, end.offset)) << end.offset;
    }
    if (before) {
      pages.push_back(page);
      if ((end.why & codec::kReachedStart) != 0) break;
      at = end.offset;
    } else {
      joined += page;
      if ((end.why & codec::kReachedEnd) != 0) break;
      at = end.length;
    }
    if (page.empty()) {
      ADD_FAILURE() << "an empty page away from the edge at " << at;
      break;
    }
  }
  for (auto page = pages.rbegin(); page != pages.rend(); ++page) joined += *page;
  return joined;
}

// A search run to its edge, `most` matches at a time, each next one from where the last ended.
std::vector<std::pair<std::uint64_t, std::string>> search_through(WholeClient& client, bool before,
                                                                  std::uint64_t from,
                                                                  std::uint64_t most, bool regex,
                                                                  const std::string& pattern,
                                                                  std::uint32_t& id) {
  std::vector<std::pair<std::uint64_t, std::string>> found;
  for (std::uint64_t at = from;;) {
    client.send(find_request(++id, before, at_offset(client.start(), at), most, regex, pattern));
    std::uint64_t matches = 0;
    for (const Answer& answer : client.answers_to(id)) {
      if (answer.kind == AnswerKind::kMatch) {
        found.emplace_back(answer.offset, std::string(answer.bytes));
        EXPECT_GE(answer.length, answer.bytes.size());
        ++matches;
      } else if (answer.kind == AnswerKind::kBytes) {
        found.back().second += answer.bytes;
      } else if (answer.kind == AnswerKind::kDone) {
        EXPECT_EQ(answer.length, matches);
        if (answer.why != static_cast<std::uint8_t>(codec::DoneWhy::kCap)) {
          EXPECT_EQ(answer.why, static_cast<std::uint8_t>(codec::DoneWhy::kEdge));
          return found;
        }
        EXPECT_EQ(matches, most);
        at = answer.next;
      } else if (answer.kind == AnswerKind::kRefused) {
        ADD_FAILURE() << "refused: " << answer.bytes;
        return found;
      }
    }
  }
}

// Something the file holds, to look for: a few bytes of one of its lines, or a regular
// expression made of them.
std::string some_pattern(std::mt19937& random, const std::string& log, bool regex) {
  if (log.empty()) return "x";
  const std::size_t at = std::uniform_int_distribution<std::size_t>(0, log.size() - 1)(random);
  std::string bytes = log.substr(at, std::uniform_int_distribution<std::size_t>(1, 4)(random));
  bytes.erase(std::remove(bytes.begin(), bytes.end(), '\n'), bytes.end());
  if (!regex) return bytes;
  std::string quoted = RE2::QuoteMeta(bytes);
  return std::bernoulli_distribution(0.5)(random) ? "^" + quoted.substr(0, 1) + ".*"
                                                  : quoted + "[^Z]*$";
}

TEST(WholeLog, PagesJoinToTheFileAndSearchesFindWhatAPlainScanFinds) {
  std::mt19937 random(2026);
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    DaemonOptions options;
    options.initial_log = random_log(random);
    const std::string& log = options.initial_log;
    Daemon daemon(options);
    ASSERT_TRUE(daemon.start());
    WholeClient client;
    ASSERT_TRUE(client.log_in(daemon.port()));
    const std::uint64_t end = client.start().offset;
    ASSERT_EQ(end, log.size());
    std::uint32_t id = 0;

    EXPECT_TRUE(page_through(client, random, log, true, end, id) == log) << "paging back";
    std::uint64_t from = log.empty() ? 0 : random() % log.size();
    while (!starts_line(log, from)) --from;
    EXPECT_TRUE(page_through(client, random, log, false, from, id) == log.substr(from))
        << "paging forward from " << from;

    for (const bool regex : {false, true}) {
      const std::string pattern = some_pattern(random, log, regex);
      SCOPED_TRACE((regex ? "regex " : "fixed ") + pattern);
      const auto expected = scan_lines(log, end, regex, pattern);
      const std::uint64_t most = std::uniform_int_distribution<std::uint64_t>(1, 40)(random);
      EXPECT_TRUE(search_through(client, false, 0, most, regex, pattern, id) == expected);
      auto newest_first = search_through(client, true, end, most, regex, pattern, id);
      std::reverse(newest_first.begin(), newest_first.end());
      EXPECT_TRUE(newest_first == expected);
    }
    EXPECT_TRUE(daemon.stop_and_check());
  }
}

std::string refusal_of(WholeClient& client, std::uint32_t id) {
  const std::vector<Answer> answers = client.answers_to(id);
  if (answers.empty() || answers.back().kind != AnswerKind::kRefused) return "";
  return std::string(answers.back().bytes);
}

// Bad requests are answered and cost nothing else; searches at once are bounded; a search is
// ended by a new request, or by the file changing under it.
TEST(WholeLog, RefusalsBusyCancelAndChange) {
  DaemonOptions options;
  // More matches than the sockets of viewers who read nothing can hold.
  for (int i = 0; i < 3000000; ++i) options.initial_log += "line " + std::to_string(i) + "\n";
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  WholeClient client;
  ASSERT_TRUE(client.log_in(daemon.port()));
  const codec::Position start = client.start();

  client.send_text("LINES 7 sideways 00 1 -");
  EXPECT_NE(refusal_of(client, 7), "");
  codec::Position elsewhere = start;
  elsewhere.inode += 1;
  client.send(lines_request(8, true, elsewhere, 10));
  EXPECT_EQ(refusal_of(client, 8), "the position is not in the log the daemon follows now");
  client.send(lines_request(9, true, at_offset(start, start.offset + 1), 10));
  EXPECT_NE(refusal_of(client, 9), "");
  codec::Position wrong_check = at_offset(start, 100);
  wrong_check.check_length = 1;
  client.send(lines_request(10, true, wrong_check, 10));
  EXPECT_NE(refusal_of(client, 10), "");
  client.send(find_request(11, true, start, 10, true, "(unclosed"));
  EXPECT_NE(refusal_of(client, 11).find("missing )"), std::string::npos);
  client.send_text("FIND 12 before " + codec::token_hex(start) + " - 10 fixed " +
                   std::string(codec::kMostPattern + 1, 'x'));
  EXPECT_NE(refusal_of(client, 12), "");

  // Four viewers whose searches match every line and who read nothing: their searches wait.
  std::vector<std::unique_ptr<WholeClient>> stuck;
  for (int i = 0; i < 4; ++i) {
    stuck.push_back(std::make_unique<WholeClient>());
    stuck.back()->viewer().set_receive_buffer(4096);
    ASSERT_TRUE(stuck.back()->log_in(daemon.port()));
    stuck.back()->send(find_request(20, true, start, codec::kMostMatches, false, ""));
    // Its search has begun: the first answer says how much it will look at.
    ASSERT_EQ(stuck.back()->answers_to(20, true).back().kind, AnswerKind::kProgress);
  }
  client.send(find_request(13, true, start, 10, false, "line"));
  std::vector<Answer> answers = client.answers_to(13);
  ASSERT_EQ(answers.back().kind, AnswerKind::kRefused);
  EXPECT_EQ(answers.back().why, static_cast<std::uint8_t>(codec::RefusedWhy::kBusy));

  // A new request ends the search that ran.
  stuck[0]->send(lines_request(21, true, start, 1));
  answers = stuck[0]->answers_to(20);
  EXPECT_EQ(answers.back().why, static_cast<std::uint8_t>(codec::DoneWhy::kCancelled));
  EXPECT_EQ(stuck[0]->answers_to(21).back().kind, AnswerKind::kRangeEnd);

  // The file rotated under a search ends it.
  ASSERT_EQ(rename(daemon.log_path().c_str(), (daemon.log_path() + ".1").c_str()), 0);
  daemon.append("a new file\n");
  ASSERT_TRUE(daemon.process().wait_until(
      [&] { return daemon.process().out().find("Log file replaced!") != std::string::npos; }));
  answers = stuck[1]->answers_to(20);
  EXPECT_EQ(answers.back().why, static_cast<std::uint8_t>(codec::DoneWhy::kChanged));
  EXPECT_TRUE(daemon.stop_and_check());
}

// The terminal's conventions: tail's -n N and -n +1 over the whole file, then following; grep's
// lines and exit statuses, with several sources behind their names.
TEST(WholeLog, TheTerminalWritesTheFileItsLastLinesAndItsMatches) {
  std::mt19937 random(7);
  DaemonOptions options;
  for (int i = 0; i < 200000; ++i) {
    options.initial_log += "line " + std::to_string(i) + (i % 997 == 3 ? " Error here" : " ok") +
                           std::string(random() % 40, '.') + "\n";
  }
  const std::string& log = options.initial_log;
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  const std::string config = daemon.dir().file("vantrel.cfg");
  const std::string port = std::to_string(daemon.port());
  const auto view = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"vantrel-view", "-c", config, "-p", port});
    return run_to_exit(VANTREL_VIEW_BINARY, args, daemon.dir().path(), 20s);
  };

  const auto lines_where = [&](const std::function<bool(const std::string&)>& keep) {
    std::string kept;
    for (std::size_t at = 0; at < log.size();) {
      const std::size_t end = log.find('\n', at) + 1;
      if (keep(log.substr(at, end - at))) kept += log.substr(at, end - at);
      at = end;
    }
    return kept;
  };
  Outcome found = view({"--grep", "error"});
  EXPECT_EQ(found.exit_code, 0) << found.err;
  EXPECT_TRUE(found.out == lines_where([](const std::string& line) {
                return line.find("Error") != std::string::npos;
              }));
  found = view({"--grep", "/^line 19[0-9]{4} Error/"});
  EXPECT_EQ(found.exit_code, 0) << found.err;
  const std::regex error_in_19xxxx("^line 19[0-9]{4} Error");
  EXPECT_TRUE(found.out == lines_where([&](const std::string& line) {
                return std::regex_search(line, error_in_19xxxx);
              }));
  EXPECT_EQ(view({"--grep", "Nowhere"}).exit_code, 1);
  // Two sources, the same daemon twice: each match behind its source's name.
  for (const std::string name : {"a", "b"}) {
    write_file(daemon.dir().file(name + ".cfg"),
               "key = \"3e07b1d4\"\npassword = \"secret\"\n"
               "port = \"" +
                   port + "\"\nname = \"" + name + "\"\n");
  }
  found = run_to_exit(VANTREL_VIEW_BINARY,
                      {"vantrel-view", "-c", daemon.dir().file("a.cfg"), "-c",
                       daemon.dir().file("b.cfg"), "--grep", "/^line 3 /"},
                      daemon.dir().path(), 20s);
  EXPECT_EQ(found.exit_code, 0) << found.err;
  EXPECT_NE(found.out.find("a | line 3 Error here"), std::string::npos) << found.out;
  EXPECT_NE(found.out.find("b | line 3 Error here"), std::string::npos) << found.out;

  // -n beyond any bound the daemon keeps, and the whole file; then each follows.
  std::string file = log;
  for (const std::string lines : {"150000", "+1", "+199998"}) {
    Process viewer;
    ASSERT_TRUE(viewer.start(VANTREL_VIEW_BINARY,
                             {"vantrel-view", "-c", config, "-p", port, "-n", lines},
                             daemon.dir().path()));
    std::size_t at = 0;  // where the log the viewer writes starts
    if (lines == "150000") {
      at = file.size();
      for (int n = 0; n < 150000; ++n) at = file.rfind('\n', at - 2) + 1;
    } else if (lines == "+199998") {
      for (int n = 1; n < 199998; ++n) at = file.find('\n', at) + 1;
    }
    const std::string more = "and one more for " + lines + "\n";
    const std::string expected = file.substr(at) + more;
    ASSERT_TRUE(viewer.wait_until([&] { return viewer.out().size() >= file.size() - at; }, 20s));
    daemon.append(more);
    file += more;
    ASSERT_TRUE(viewer.wait_until([&] { return viewer.out().size() >= expected.size(); }));
    EXPECT_TRUE(viewer.out() == expected) << lines;
    viewer.stop();
  }
  EXPECT_TRUE(daemon.stop_and_check());
}

std::string from_base64(const std::string& text) {
  std::string bytes(text.size() / 4 * 3 + 1, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  const std::size_t padding = text.size() - (text.find_last_not_of('=') + 1);
  bytes.resize(static_cast<std::size_t>(std::max(length, 0)) - padding);
  return bytes;
}

struct LineObject {
  std::string pos;
  std::string data;
};

// The {"pos", "data"} objects of an ndjson answer, and whether it ended with `edge`.
std::vector<LineObject> line_objects(const std::string& body, const std::string& edge,
                                     bool& at_edge) {
  std::vector<LineObject> lines;
  const std::string pos = "{\"pos\":\"";
  const std::string data = "\",\"data\":\"";
  for (std::size_t at = body.find(pos); at != std::string::npos; at = body.find(pos, at)) {
    const std::size_t middle = body.find(data, at);
    const std::size_t end = body.find('"', middle + data.size());
    lines.push_back({body.substr(at + pos.size(), middle - at - pos.size()),
                     from_base64(body.substr(middle + data.size(), end - middle - data.size()))});
    at = end;
  }
  at_edge = body.find("{\"" + edge + "\":true") != std::string::npos;
  return lines;
}

// The page's interface for scripts, over a file of any bytes: paging back to the first byte
// joins to the file with no line twice, a search chained by its "next" finds what a scan finds,
// and a download is the file exactly.
TEST(WholeLog, ThePagesInterfaceForScripts) {
  std::mt19937 random(11);
  DaemonOptions options;
  options.initial_log = random_log(random);
  const std::string log = options.initial_log;
  Daemon daemon(options);
  ASSERT_TRUE(daemon.start());
  const unsigned short web_port = free_port();
  Process relay;
  ASSERT_TRUE(relay.start(VANTREL_VIEW_BINARY,
                          {"vantrel-view", "-c", daemon.dir().file("vantrel.cfg"), "-p",
                           std::to_string(daemon.port()), "--web", std::to_string(web_port)},
                          daemon.dir().path()));
  ASSERT_TRUE(relay.wait_until([&] { return relay.err().find("logged in") != std::string::npos; }));
  struct stat status {};
  ASSERT_EQ(stat(daemon.log_path().c_str(), &status), 0);
  const std::string file =
      std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":";

  std::vector<std::string> pages;
  std::vector<std::string> seen;
  for (std::uint64_t before = log.size();;) {
    const auto [code, body] =
        http_get(web_port, "lines?before=" + file + std::to_string(before) +
                               "&count=" + std::to_string(1 + random() % 900));
    ASSERT_EQ(code, 200) << body;
    bool start = false;
    const std::vector<LineObject> lines = line_objects(body, "start", start);
    std::string page;
    for (const LineObject& line : lines) {
      page += line.data;
      seen.push_back(line.pos);
    }
    pages.push_back(page);
    if (start || lines.empty()) {
      EXPECT_TRUE(start) << "an empty page before the first byte at " << before;
      break;
    }
    before = std::stoull(lines.front().pos.substr(file.size()));
  }
  std::string joined;
  for (auto page = pages.rbegin(); page != pages.rend(); ++page) joined += *page;
  EXPECT_TRUE(joined == log) << "paged back " << joined.size() << " of " << log.size() << " bytes";
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "a line twice";

  const std::string pattern = some_pattern(random, log, false);
  std::string escaped;
  for (const char c : pattern) {
    const auto byte = static_cast<unsigned char>(c);
    escaped += std::string("%") + "0123456789ABCDEF"[byte >> 4] + "0123456789ABCDEF"[byte & 15];
  }
  std::vector<std::pair<std::uint64_t, std::string>> found;
  for (std::string at = "after=" + file + "0";;) {
    const auto [code, body] = http_get(web_port, "search?q=" + escaped + "&" + at + "&max=7");
    ASSERT_EQ(code, 200) << body;
    bool done = false;
    for (const LineObject& line : line_objects(body, "done", done)) {
      found.emplace_back(std::stoull(line.pos.substr(file.size())), line.data);
    }
    const std::size_t next = body.find("\"next\":\"");
    if (next == std::string::npos) break;
    at = "after=" + body.substr(next + 8, body.find('"', next + 8) - next - 8);
  }
  EXPECT_TRUE(found == scan_lines(log, log.size(), false, pattern)) << pattern;

  const auto [code, body] = http_get(web_port, "download");
  EXPECT_EQ(code, 200);
  EXPECT_TRUE(body == log) << "downloaded " << body.size() << " of " << log.size() << " bytes";
  EXPECT_EQ(http_get(web_port, "lines?count=3").first, 400);
  EXPECT_EQ(http_get(web_port, "lines?before=" + file + "1&source=nobody").first, 404);
  EXPECT_EQ(http_get(web_port, "lines?before=1:2:3").first, 404);
  relay.stop();
  EXPECT_TRUE(daemon.stop_and_check());
}

}  // namespace
}  // namespace vantrel::testing
