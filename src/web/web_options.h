// The browser viewer's options, as the command line and the configuration file give them. The
// viewer's options hold them; nothing here depends on the viewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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
  bool metrics_open = false;                // --metrics-open: /metrics without the password
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

}  // namespace vantrel::web
