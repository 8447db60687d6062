#include "web/auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace vantrel::web {

namespace {

constexpr std::string_view kBasic = "Basic ";

// OpenSSL's base64 decoder, which takes whole groups of four and counts padding as zeros.
std::optional<std::string> decode_base64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::vector<unsigned char> out(text.size() / 4 * 3 + 1);
  const int length =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  const auto padding = static_cast<int>(text.size() - text.find_last_not_of('=') - 1);
  if (padding > 2 || padding > length) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out.data()),
                     static_cast<std::size_t>(length - padding));
}

using Digest = std::array<unsigned char, 32>;

Digest digest_of(std::string_view text) {
  Digest digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

}  // namespace

std::optional<Credentials> parse_basic_credentials(std::string_view header) {
  if (header.size() > kBasic.size() + kLongestCredentials / 3 * 4 + 4) return std::nullopt;
  // The scheme's name is case-insensitive.
  const auto same_letter = [](char a, char b) { return std::tolower(a) == std::tolower(b); };
  if (header.size() < kBasic.size() ||
      !std::equal(kBasic.begin(), kBasic.end(), header.begin(), same_letter)) {
    return std::nullopt;
  }
  const std::optional<std::string> decoded = decode_base64(header.substr(kBasic.size()));
  if (!decoded || decoded->size() > kLongestCredentials) return std::nullopt;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return Credentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

bool same_secret(std::string_view given, std::string_view expected) {
  // Digests of equal length hide the length of the secret, and CRYPTO_memcmp takes the same
  // time wherever they differ.
  const Digest a = digest_of(given);
  const Digest b = digest_of(expected);
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::chrono::seconds wait_before_try(const Throttle& throttle, const std::string& address,
                                     ThrottleClock::time_point now) {
  const auto found = throttle.by_address.find(address);
  if (found == throttle.by_address.end() || now >= found->second.next_try) {
    return std::chrono::seconds{0};
  }
  return std::chrono::ceil<std::chrono::seconds>(found->second.next_try - now);
}

int note_failure(Throttle& throttle, const std::string& address, ThrottleClock::time_point now) {
  if (throttle.by_address.size() >= kRememberedAddresses &&
      throttle.by_address.find(address) == throttle.by_address.end()) {
    const auto idlest = std::min_element(
        throttle.by_address.begin(), throttle.by_address.end(),
        [](const auto& a, const auto& b) { return a.second.last_seen < b.second.last_seen; });
    throttle.by_address.erase(idlest);
  }
  Throttle::Record& record = throttle.by_address[address];
  ++record.failures;
  record.last_seen = now;
  if (record.failures > kFreeFailures) {
    const int doublings = std::min(record.failures - kFreeFailures - 1, 6);
    record.next_try =
        now + std::min<std::chrono::seconds>(std::chrono::seconds{1 << doublings}, kLongestWait);
  }
  return record.failures;
}

void note_success(Throttle& throttle, const std::string& address) {
  throttle.by_address.erase(address);
}

}  // namespace vantrel::web
