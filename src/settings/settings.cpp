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

Key key_from_number(std::uint32_t number) {
  return Key{static_cast<std::uint8_t>(number >> 24), static_cast<std::uint8_t>(number >> 16),
             static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
}

std::uint32_t key_to_number(const Key& key) {
  return (std::uint32_t{key[0]} << 24) | (std::uint32_t{key[1]} << 16) |
         (std::uint32_t{key[2]} << 8) | std::uint32_t{key[3]};
}

namespace {

// The TLS listener needs its port, certificate and key; the plain one may be turned off where
// TLS takes its place.
int check_listeners(Settings& settings) {
  const bool any_tls =
      settings.tls_port || settings.tls_cert || settings.tls_key || settings.tls_ca;
  if (any_tls) {
    settings.tls_port_number = settings.tls_port ? parse_port(settings.tls_port->c_str()) : 0;
    if (settings.tls_port_number == 0 || !settings.tls_cert || !settings.tls_key) {
      std::printf(
          "vantrel: TLS needs tls_port (a port number), tls_cert and tls_key in the config "
          "file.\n");
      return -1;
    }
  }
  std::uint32_t address = 0;
  if (settings.tls_address && !parse_address(settings.tls_address->c_str(), address)) {
    std::printf("vantrel: Can't listen with TLS on address '%s': give a dotted IPv4 address.\n",
                settings.tls_address->c_str());
    return -1;
  }
  if (settings.plain && *settings.plain != "off" && *settings.plain != "on") {
    std::printf("vantrel: plain must be \"on\" or \"off\", not '%s'.\n", settings.plain->c_str());
    return -1;
  }
  settings.plain_off = settings.plain && *settings.plain == "off";
  if (settings.plain_off && !any_tls) {
    std::printf(
        "vantrel: The plain listener is off and no TLS one is set: nothing to listen on.\n");
    return -1;
  }
  return 0;
}

}  // namespace

int check_settings(Settings& settings) {
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
  if (settings.bad_address) {
    std::printf(
        "vantrel: Can't listen on address '%s': give a dotted IPv4 address such as "
        "127.0.0.1, or no address entry to listen on all.\n",
        settings.bad_address->c_str());
    return -1;
  }
  if (settings.history &&
      !parse_byte_count(settings.history->c_str(), kMostHistory, settings.history_bytes)) {
    std::printf("vantrel: Can't send a history of '%s' bytes: give a number from 0 to %zu.\n",
                settings.history->c_str(), kMostHistory);
    return -1;
  }
  if (settings.resume &&
      !parse_byte_count(settings.resume->c_str(), kMostResume, settings.resume_bytes)) {
    std::printf("vantrel: Can't let viewers resume '%s' bytes back: give a number from 0 to %zu.\n",
                settings.resume->c_str(), kMostResume);
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
  if (!settings.plain_off) std::printf("vantrel: Listening to port %u\n", unsigned{settings.port});
  if (settings.tls_port_number != 0) {
    std::printf("vantrel: Listening to port %u with TLS on %s%s\n",
                unsigned{settings.tls_port_number},
                settings.tls_address ? settings.tls_address->c_str() : "all addresses",
                settings.tls_ca ? ", for viewers with a certificate from the CA" : "");
  }
  if (settings.address)
    std::printf("vantrel: Listening on address %s\n", settings.address->c_str());
  std::printf("vantrel: Log file: '%s'\n", settings.logfile->c_str());
  return 0;
}

}  // namespace vantrel::settings
