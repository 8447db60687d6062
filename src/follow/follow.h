// Following daemons: the library beneath the terminal and the page. One connection per daemon
// (its TLS, its login, its frames, read by their lengths once the daemon grants them, else by
// reassembly, and its reconnections), and one event loop over all of them that writes each
// stream into its sink. What a program does with the streams is its sinks' business.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "follow/sink.h"
#include "search/matcher.h"
#include "settings/settings.h"

struct ssl_ctx_st;

namespace vantrel::follow {

// Exit statuses.
inline constexpr int kExitHelp = 0;          // -h printed the usage text
inline constexpr int kExitRefused = 1;       // the daemon refused the password
inline constexpr int kExitDaemonGone = 2;    // the daemon closed the connection (without -r)
inline constexpr int kExitNoConnection = 3;  // unknown host, or no connection could be made
inline constexpr int kExitLoginUnread = 4;   // no readable answer to the login: wrong key?
inline constexpr int kExitBadSetup = 5;      // bad command line or configuration file
inline constexpr int kExitOutputFailed = 6;  // standard output could not be written
// The daemon's certificate is not the one expected, or the daemon refused the viewer's.
inline constexpr int kExitUnverified = 7;
// With --grep, grep's own: a line matched, none did, or something went wrong.
inline constexpr int kExitMatched = 0;
inline constexpr int kExitNoMatch = 1;
inline constexpr int kExitGrepTrouble = 2;

// Reconnection delays with -r: the first wait, doubled after each failed attempt up to the last.
inline constexpr int kFirstRetrySeconds = 1;
inline constexpr int kLastRetrySeconds = 30;
// How long the viewer waits for the answer to its login.
inline constexpr int kLoginReplySeconds = 5;

// One daemon to follow: a -c file, with the daemon's entries (key, password, port) and two of
// the viewer's own: host, and name, which goes before the source's lines and in the page's URL.
struct Source {
  std::string name;
  std::string host = "127.0.0.1";
  settings::Settings settings;
  // TLS, where the file gives tls_port: the daemon's certificate's pinned SHA-256, and the
  // viewer's own certificate and key.
  std::optional<std::string> tls_fingerprint;
  std::optional<std::string> viewer_cert;
  std::optional<std::string> viewer_key;
  std::shared_ptr<ssl_ctx_st> tls_context;  // null: plain TCP
};

struct FollowOptions {
  bool reconnect = false;                  // reconnect whenever a daemon goes away
  std::optional<std::uint64_t> lines;      // start with the log's last lines
  std::optional<std::uint64_t> from_line;  // or with the log from this line on (1: the first)
  bool timestamps = false;                 // the local time of arrival before each line
  // --grep: every line of the whole log that matches, then (with `grep_follow`) the live
  // stream's matching lines.
  std::optional<search::Matcher> grep;
  std::string grep_pattern;
  bool grep_regex = false;
  bool grep_follow = false;
};

// Opens the outputs once the sources' hosts are known; null after saying why it could not.
using OpenOutputs = std::function<std::unique_ptr<Outputs>()>;

// Follows every source into the output `open` gives (its sink `i` for source `i`) until every
// daemon has gone away (or, with `reconnect`, for ever). Without `reconnect`, a source whose
// host is unknown ends at once, before the outputs open. Returns the exit status, the worst of
// the sources', or `no_outputs` where `open` gave none.
int follow_sources(const std::vector<Source>& sources, const FollowOptions& options,
                   const OpenOutputs& open, int no_outputs);

// Reads the source's TLS entries and makes its context. Returns false after saying why.
bool set_up_tls(Source& source, const std::string& path);

// "vantrel-view: " and the label, then the message, on standard error.
[[gnu::format(printf, 2, 3)]] void say(const std::string& label, const char* format, ...);

// "12:00:01.234 ": a local time, before each line with -t.
std::string arrival_stamp(std::chrono::system_clock::time_point when);

}  // namespace vantrel::follow
