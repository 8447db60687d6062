#include "settings/settings.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vantrel::settings {

namespace {

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::uint32_t parse_hex_key(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;

  std::uint64_t magnitude = 0;
  bool too_large = false;
  for (int digit = hex_digit_value(*p); digit >= 0; digit = hex_digit_value(*++p)) {
    magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
    if (magnitude > 0xFFFFFFFFu) {
      too_large = true;
      magnitude = 0xFFFFFFFFu;  // keeps the accumulator from wrapping on long inputs
    }
  }
  if (too_large) return 0xFFFFFFFFu;
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

int parse_decimal(const char* text) {
  const long wide = std::strtol(text, nullptr, 10);
  return static_cast<int>(static_cast<std::uint32_t>(static_cast<unsigned long>(wide)));
}

bool parse_address(const char* text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

bool parse_byte_count(const char* text, std::size_t most, std::size_t& bytes) {
  std::size_t value = 0;
  if (*text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<std::size_t>(*p - '0');
    if (value > most) return false;
  }
  bytes = value;
  return true;
}

std::uint16_t parse_port(const char* text) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(parse_decimal(text)));
}

namespace {

// The TLS listener needs its port, certificate and key; the plain one may be turned off where
// TLS takes its place.
int check_listeners(Settings& settings) {
  const WrittenEntries& written = settings.written;
  const bool any_tls = written.tls_port || settings.tls_cert || settings.tls_key || settings.tls_ca;
  if (any_tls && (settings.tls_port == 0 || !settings.tls_cert || !settings.tls_key)) {
    std::printf(
        "vantrel: TLS needs tls_port (a port number), tls_cert and tls_key in the config "
        "file.\n");
    return -1;
  }
  std::uint32_t address = 0;
  if (written.tls_address && !parse_address(written.tls_address->c_str(), address)) {
    std::printf("vantrel: Can't listen with TLS on address '%s': give a dotted IPv4 address.\n",
                written.tls_address->c_str());
    return -1;
  }
  if (written.tls_address) settings.tls_address = address;
  if (written.plain && *written.plain != "off" && *written.plain != "on") {
    std::printf("vantrel: plain must be \"on\" or \"off\", not '%s'.\n", written.plain->c_str());
    return -1;
  }
  settings.plain_off = written.plain && *written.plain == "off";
  if (settings.plain_off && !any_tls) {
    std::printf(
        "vantrel: The plain listener is off and no TLS one is set: nothing to listen on.\n");
    return -1;
  }
  return 0;
}

// A byte count as written, if given; false after saying why it is none.
bool read_byte_count(const std::optional<std::string>& written, std::size_t most,
                     std::size_t& bytes) {
  return !written || parse_byte_count(written->c_str(), most, bytes);
}

}  // namespace

int check_settings(Settings& settings) {
  const WrittenEntries& written = settings.written;
  if (!settings.password) {
    std::printf("vantrel: You have to set a password in your config file!");
    std::printf("vantrel: Add a line like this in it: password = \"bRiGhTlAMp\"");
    return -1;
  }
  if (key_to_number(settings.key) == 0) {
    std::printf("vantrel: Key is invalid! Verify it you config file.\n");
    std::printf("vantrel: Key must be an 8 digits hexadecimal number(eg.: 3e07b1d4).\n");
    return -1;
  }
  if (written.bad_address) {
    std::printf(
        "vantrel: Can't listen on address '%s': give a dotted IPv4 address such as "
        "127.0.0.1, or no address entry to listen on all.\n",
        written.bad_address->c_str());
    return -1;
  }
  if (!read_byte_count(written.history, kMostHistory, settings.history_bytes)) {
    std::printf("vantrel: Can't send a history of '%s' bytes: give a number from 0 to %zu.\n",
                written.history->c_str(), kMostHistory);
    return -1;
  }
  if (!read_byte_count(written.resume, kMostResume, settings.resume_bytes)) {
    std::printf("vantrel: Can't let viewers resume '%s' bytes back: give a number from 0 to %zu.\n",
                written.resume->c_str(), kMostResume);
    return -1;
  }
  if (check_listeners(settings) != 0) return -1;
  if (settings.quiet == -1) settings.quiet = 0;
  if (settings.port == 0) {
    std::printf(
        "vantrel: No port specified on command-line or in config file, using default(%u).\n",
        unsigned{kDefaultPort});
    settings.port = kDefaultPort;
  }
  if (!settings.logfile) {
    std::printf(
        "vantrel: No log filename specified on command-line or in config file, using "
        "default(qconsole.log).\n");
    settings.logfile = kDefaultLogFile;
  }
  return 0;
}

void report_settings(const Settings& settings) {
  const WrittenEntries& written = settings.written;
  if (!settings.plain_off) std::printf("vantrel: Listening to port %u\n", unsigned{settings.port});
  if (settings.tls_port != 0) {
    std::printf("vantrel: Listening to port %u with TLS on %s%s\n", unsigned{settings.tls_port},
                written.tls_address ? written.tls_address->c_str() : "all addresses",
                settings.tls_ca ? ", for viewers with a certificate from the CA" : "");
  }
  if (written.address) std::printf("vantrel: Listening on address %s\n", written.address->c_str());
  std::printf("vantrel: Log file: '%s'\n", settings.logfile->c_str());
}

}  // namespace vantrel::settings
