// The browser viewer (vantrel-view --web): a page and one event stream per browser, over HTTP
// or HTTPS, behind a password if one is set, under a base path for a reverse proxy, with
// limits that hold when the port faces an open network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "viewer/sink.h"

namespace vantrel::web {

inline constexpr const char* kDefaultUser = "vantrel";
inline constexpr std::size_t kDefaultBrowsers = 256;

struct WebOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
  std::string base = "/";               // --web-base: everything is served under it
  std::optional<std::string> tls_cert;  // --tls-cert and --tls-key: HTTPS
  std::optional<std::string> tls_key;
  bool insecure_http = false;               // --insecure-http: a password over plain HTTP anyway
  std::string user = kDefaultUser;          // web_user
  std::optional<std::string> password;      // web_password: Basic authentication
  std::size_t browsers = kDefaultBrowsers;  // web_browsers: event streams at once
  std::string log_name;                     // names the log in the password prompt
};

// Reads a configuration entry that belongs to the page (web_user, web_password, web_browsers).
// Returns false when `name` is none of them; `problem` is set when the value is unusable.
bool apply_web_entry(const char* name, const char* value, WebOptions& options,
                     std::optional<std::string>& problem);

// Whether `text` can stand as one segment of a URL path as it is, unescaped: letters, digits
// and - . _ ~, and not "." or "..".
bool is_path_segment(const std::string& text);

// A base path as --web-base takes it: "/" or "/PREFIX/", safe in a URL. Returns it with its
// slashes, or nothing when it is not one.
std::optional<std::string> normalize_base(const std::string& text);

// Whether the options can serve: a password over plain HTTP is refused on any address but
// loopback unless --insecure-http says so. Says what to do when not.
bool check_web_options(const WebOptions& options);

// Serves the page and says on standard error where it is. Returns the sinks that the
// connections to the daemons (one per name, in order) write their logs into, or null after
// reporting why nothing could serve. With several, the page shows each source on its own, at
// events/NAME, or all of them merged line by line, at events.
std::unique_ptr<viewer::Outputs> start_web_output(const WebOptions& options,
                                                  const std::vector<std::string>& names);

}  // namespace vantrel::web
