// Who may see the page: the Basic credentials parser and the throttle on wrong passwords.
#include <gtest/gtest.h>

#include <string>

#include "web/auth.h"

namespace vantrel::web {
namespace {

TEST(BasicCredentials, AreTakenFromTheHeaderAndAnythingElseIsRefused) {
  // "alice:pa:ss" and ":" in base64; the password may hold colons, the user may be empty.
  const auto alice = parse_basic_credentials("Basic YWxpY2U6cGE6c3M=");
  ASSERT_TRUE(alice);
  EXPECT_EQ(alice->user, "alice");
  EXPECT_EQ(alice->password, "pa:ss");
  EXPECT_TRUE(parse_basic_credentials("basic Og=="));
  for (const std::string& header : std::initializer_list<std::string>{
           "", "Basic", "Basic ", "Bearer YWxpY2U6cGFzcw==", "Basic YWxpY2U",    // not whole groups
           "Basic YWxp Y2U6", "Basic YW*pY2U6", "Basic ====", "Basic YWxpY2U=",  // bad base64
           "Basic YWxpY2Vh",                                                     // no colon
           "Basic " + std::string(4 * 1024 * 1024, 'A')}) {                      // huge
    EXPECT_FALSE(parse_basic_credentials(header)) << header.substr(0, 40);
  }
}

TEST(BasicCredentials, SecretsCompareWholeAndExactly) {
  EXPECT_TRUE(same_secret("vantrel:open sesame", "vantrel:open sesame"));
  for (const char* wrong : {"vantrel:open sesam", "vantrel:open sesame ", "Vantrel:open sesame", "",
                            "vantrel:open sesame\n"}) {
    EXPECT_FALSE(same_secret(wrong, "vantrel:open sesame")) << wrong;
  }
}

TEST(Throttle, WaitsDoubleAfterFiveFailuresUpToTheLongestAndASuccessClears) {
  Throttle throttle;
  const auto start = ThrottleClock::now();
  const std::string address = "192.0.2.7";
  std::chrono::seconds expected{1};
  for (int failure = 1; failure <= 14; ++failure) {
    const auto now = start + std::chrono::minutes(2 * failure);  // each after the last wait
    EXPECT_EQ(wait_before_try(throttle, address, now).count(), 0) << failure;
    EXPECT_EQ(note_failure(throttle, address, now), failure);
    if (failure <= kFreeFailures) {
      EXPECT_EQ(wait_before_try(throttle, address, now).count(), 0) << failure;
      continue;
    }
    EXPECT_EQ(wait_before_try(throttle, address, now), expected) << failure;
    EXPECT_EQ(wait_before_try(throttle, "192.0.2.8", now).count(), 0);  // others go on
    expected = std::min(expected * 2, kLongestWait);
  }
  note_success(throttle, address);
  EXPECT_EQ(wait_before_try(throttle, address, start + std::chrono::minutes(28)).count(), 0);
  // Addresses are remembered up to a bound, the idlest forgotten first.
  for (std::size_t i = 0; i < kRememberedAddresses + 10; ++i) {
    note_failure(throttle, "10.0." + std::to_string(i), start + std::chrono::seconds(i));
  }
  EXPECT_EQ(throttle.by_address.size(), kRememberedAddresses);
  EXPECT_EQ(throttle.by_address.count("10.0.0"), 0u);
}

}  // namespace
}  // namespace vantrel::web
