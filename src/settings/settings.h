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

#include "codec/key.h"

namespace vantrel::settings {

inline constexpr std::uint16_t kDefaultPort = 55920;
inline constexpr const char* kDefaultLogFile = "qconsole.log";
inline constexpr const char* kConfigFileName = "vantrel.cfg";
inline constexpr const char* kBanner = "vantrel 0.98 'vantrel -h' for configuration help.\n\n";

// The scrambling key is the wire's; the settings hold one.
using codec::Key;
using codec::key_from_number;
using codec::key_to_number;

// How far back a viewer may resume by default, and at most.
inline constexpr std::size_t kDefaultResume = std::size_t{16} << 20;
inline constexpr std::size_t kMostResume = std::size_t{1} << 40;

// Entries as the command line and the configuration file wrote them, for those whose value is
// read only once all entries are in: the readers' own state, which check_settings turns into
// the values of Settings; it and the report name them as written. Nothing else reads it.
struct WrittenEntries {
  std::optional<std::string> address;      // the first entry that gave an address
  std::optional<std::string> bad_address;  // the first entry that gave no address, if none did
  std::optional<std::string> history;
  std::optional<std::string> resume;
  std::optional<std::string> tls_port;
  std::optional<std::string> tls_address;
  std::optional<std::string> plain;
};

struct Settings {
  std::uint16_t port = 0;                 // 0: not given
  std::optional<std::string> password;    // a viewer must send this to log in
  Key key{};                              // all zero: not given, and never valid
  std::optional<std::string> logfile;     // path of the watched log file
  std::optional<std::string> configfile;  // only read while locating the configuration file
  int quiet = -1;                         // -1: not given; 0: chatty; anything else: quiet
  std::optional<std::uint32_t> address;   // to listen on, in network byte order; all if absent
  std::size_t history_bytes = 0;          // each new viewer gets the log's last lines, this long
  std::size_t resume_bytes = kDefaultResume;  // how far back a viewer may resume
  // The TLS listener: its port (0: none), certificate chain and key, and the CA whose
  // certificates viewers must show (without one, viewers log in before the first log byte).
  std::uint16_t tls_port = 0;
  std::optional<std::string> tls_cert;
  std::optional<std::string> tls_key;
  std::optional<std::string> tls_ca;
  std::optional<std::uint32_t> tls_address;  // the TLS listener's; all addresses if absent
  bool plain_off = false;                    // no plain listener
  WrittenEntries written;
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

// Reads the written entries into values and completes the settings with defaults. Returns 0,
// or -1 after printing why the daemon cannot start (no password, a zero key, an address or
// history it cannot use).
int check_settings(Settings& settings);

// Prints where the daemon listens and the log it serves, from checked settings.
void report_settings(const Settings& settings);

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

}  // namespace vantrel::settings
