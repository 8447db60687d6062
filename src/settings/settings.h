// The process-wide settings record and the start-up stages that fill it: the command line,
// the configuration file and the final check that supplies defaults.
//
// Precedence: the command line first, then the configuration file, then the defaults. The
// configuration reader leaves `port`, `logfile` and `quiet` alone once they are set, which is
// what lets the command line (read first) win over the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace vantrel::settings {

inline constexpr std::uint16_t kDefaultPort = 55920;
inline constexpr const char* kDefaultLogFile = "qconsole.log";
inline constexpr const char* kConfigFileName = "vantrel.cfg";
inline constexpr const char* kBanner = "vantrel 0.98 'vantrel -h' for configuration help.\n\n";

// The scrambling key's four bytes, most significant first, whatever the host's byte order.
using Key = std::array<std::uint8_t, 4>;

// How far back a viewer may resume by default, and at most.
inline constexpr std::size_t kDefaultResume = std::size_t{16} << 20;
inline constexpr std::size_t kMostResume = std::size_t{1} << 40;

struct Settings {
  std::uint16_t port = 0;                  // 0: not given
  std::optional<std::string> password;     // a viewer must send this to log in
  Key key{};                               // all zero: not given, and never valid
  std::optional<std::string> logfile;      // path of the watched log file
  std::optional<std::string> configfile;   // only read while locating the configuration file
  int quiet = -1;                          // -1: not given; 0: chatty; anything else: quiet
  std::optional<std::string> address;      // the dotted IPv4 address to listen on; all if absent
  std::optional<std::string> bad_address;  // the first entry that gave no address, if none did
  std::optional<std::string> history;      // "history" as written; check_settings reads it
  std::size_t history_bytes = 0;           // each new viewer gets the log's last lines, this long
  std::optional<std::string> resume;       // "resume" as written; check_settings reads it
  std::size_t resume_bytes = kDefaultResume;  // how far back a viewer may resume
  // The TLS listener: its port (0: none), certificate chain and key, and the CA whose
  // certificates viewers must show (without one, viewers log in before the first log byte).
  std::optional<std::string> tls_port;  // as written; check_settings reads it
  std::uint16_t tls_port_number = 0;
  std::optional<std::string> tls_cert;
  std::optional<std::string> tls_key;
  std::optional<std::string> tls_ca;
  std::optional<std::string> tls_address;  // the TLS listener's; all addresses if absent
  std::optional<std::string> plain;        // "off": no plain listener
  bool plain_off = false;
};

// Entries a misread configuration file must not lose silently: the daemon would listen where
// it should not, or without TLS.
inline constexpr const char* kGuardedEntries[] = {"address", "tls_port",    "tls_cert", "tls_key",
                                                  "tls_ca",  "tls_address", "plain"};

// The most history a new viewer gets: one frame.
inline constexpr std::size_t kMostHistory = 65532;

// Applies the options in argv[1..argc-1] to `settings`. Returns 0, or -1 after -h has printed
// the usage text.
int parse_command_line(int argc, const char* const* argv, Settings& settings);

// Prints the usage text to standard output.
void print_usage();

// Finds the configuration file (settings.configfile, or "vantrel.cfg" beside `program_path`,
// which may be null) and applies its entries. Returns 0, or -1 after reporting that the file
// could not be opened.
int read_config_file(const char* program_path, Settings& settings);

// Applies the entries of an open configuration file until one lacks a name, a separator or a
// value; whatever follows is ignored. Does not close the file.
void read_config_entries(std::FILE* file, Settings& settings);

// Calls `take(name, value)` for each entry of an open configuration file, read as
// read_config_entries reads it. Does not close the file.
void for_each_config_entry(std::FILE* file, void (*take)(const char*, const char*, void*),
                           void* context);

// The configuration file's path for a program started as `program_path` (null allowed): the
// directory part up to the last '/', less one leading double quote, then "vantrel.cfg".
std::string config_path_beside(const char* program_path);

// Completes the settings with defaults and reports them. Returns 0, or -1 after printing why
// the daemon cannot start (no password, a zero key, an address or history it cannot use).
int check_settings(Settings& settings);

// Conversions as the configuration file and the command line define them.
// A base-16 number with 32-bit results: leading whitespace, a sign and "0x" are allowed; a
// magnitude beyond 32 bits gives 0xFFFFFFFF whatever the sign, otherwise '-' negates modulo 2^32.
std::uint32_t parse_hex_key(const char* text);
// A signed decimal number as the C library's atoi gives it here: strtol to 64 bits, then the
// low 32 bits.
int parse_decimal(const char* text);
// parse_decimal, then the low 16 bits.
std::uint16_t parse_port(const char* text);
// A dotted IPv4 address such as "127.0.0.1", in network byte order. Returns whether it is one.
bool parse_address(const char* text, std::uint32_t& address);
// A byte count: decimal digits only, at most `most`. Returns whether it is one.
bool parse_byte_count(const char* text, std::size_t most, std::size_t& bytes);
// The key's number stored most significant byte first, and back.
Key key_from_number(std::uint32_t number);
std::uint32_t key_to_number(const Key& key);

}  // namespace vantrel::settings
