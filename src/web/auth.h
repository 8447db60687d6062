// Who may see the page: HTTP Basic credentials, compared in constant time, and a throttle that
// slows down an address that keeps guessing.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::web {

struct Credentials {
  std::string user;
  std::string password;
};

// An Authorization header's value, "Basic " and base64 of "user:password". Nothing when it is
// not one: another scheme, bad base64, no colon, or longer than kLongestCredentials.
std::optional<Credentials> parse_basic_credentials(std::string_view header);
inline constexpr std::size_t kLongestCredentials = 1024;

// Whether two secrets are equal, in a time that does not depend on where they differ.
bool same_secret(std::string_view given, std::string_view expected);

using ThrottleClock = std::chrono::steady_clock;

// Failed logins by address. Past kFreeFailures in a row, an address waits before its next try:
// a second after the first, doubling with each failure up to kLongestWait.
inline constexpr int kFreeFailures = 5;
inline constexpr std::chrono::seconds kLongestWait{64};
// Addresses remembered at most; the one idle longest is forgotten first.
inline constexpr std::size_t kRememberedAddresses = 4096;

struct Throttle {
  struct Record {
    int failures = 0;
    ThrottleClock::time_point next_try{};
    ThrottleClock::time_point last_seen{};
  };
  std::map<std::string, Record> by_address;
};

// How long `address` must still wait before its next try; zero when it may try now.
std::chrono::seconds wait_before_try(const Throttle& throttle, const std::string& address,
                                     ThrottleClock::time_point now);

// Counts a failed try. Returns the failures in a row from that address.
int note_failure(Throttle& throttle, const std::string& address, ThrottleClock::time_point now);

// A successful login clears the address's record.
void note_success(Throttle& throttle, const std::string& address);

}  // namespace vantrel::web
