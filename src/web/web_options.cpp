#include "web/web_options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"

namespace vantrel::web {

namespace {

// Letters, digits and the few marks that need no escaping in a URL path.
bool is_path_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("-._~/", c) != nullptr;
}

bool is_loopback(const std::string& address) {
  std::uint32_t parsed = 0;
  return settings::parse_address(address.c_str(), parsed) && (parsed & 0xFF) == 127;
}

}  // namespace

bool apply_web_entry(const char* name, const char* value, WebOptions& options,
                     std::optional<std::string>& problem) {
  if (std::strcmp(name, "web_user") == 0) {
    options.user = value;
    if (options.user.empty() || options.user.find(':') != std::string::npos) {
      problem = "web_user must be a name without a colon";
    }
  } else if (std::strcmp(name, "web_password") == 0) {
    options.password = value;
    if (options.password->empty()) problem = "web_password must not be empty";
  } else if (std::strcmp(name, "web_browsers") == 0) {
    char* end = nullptr;
    const unsigned long browsers = std::strtoul(value, &end, 10);
    if (*value < '0' || *value > '9' || *end != '\0' || browsers < 1 || browsers > 100000) {
      problem = std::string("web_browsers must be a number from 1 to 100000, not '") + value + "'";
    }
    options.browsers = browsers;
  } else {
    return false;
  }
  return true;
}

bool is_path_segment(const std::string& text) {
  return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos &&
         std::all_of(text.begin(), text.end(), is_path_character);
}

std::optional<std::string> normalize_base(const std::string& text) {
  std::string base = text;
  if (base.empty() || base.front() != '/') base.insert(base.begin(), '/');
  if (base.back() != '/') base.push_back('/');
  if (!std::all_of(base.begin(), base.end(), is_path_character)) return std::nullopt;
  if (base.find("//") != std::string::npos || base.find("/./") != std::string::npos ||
      base.find("/../") != std::string::npos) {
    return std::nullopt;
  }
  return base;
}

bool check_web_options(const WebOptions& options) {
  if (options.tls_cert.has_value() != options.tls_key.has_value()) {
    std::fprintf(stderr, "vantrel-view: --tls-cert and --tls-key go together\n");
    return false;
  }
  if (options.password && !options.tls_cert && !options.insecure_http &&
      !is_loopback(options.address)) {
    std::fprintf(stderr,
                 "vantrel-view: refusing to take the page's password over plain HTTP on %s, "
                 "where anyone on the way can read it. Give --tls-cert FILE --tls-key FILE "
                 "to serve HTTPS, or serve on 127.0.0.1 behind a proxy that terminates TLS; "
                 "--insecure-http serves it anyway.\n",
                 options.address.c_str());
    return false;
  }
  return true;
}

}  // namespace vantrel::web
