// What the libFuzzer targets share: the entry points libFuzzer calls, and a check that stops
// the run with a message when a property of the code under test does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace vantrel::fuzz {

// The daemon's reports would bury libFuzzer's own on the terminal and slow every run down.
inline void silence_standard_output() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// A failed check is a finding: libFuzzer saves the input that caused the abort.
inline void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

}  // namespace vantrel::fuzz
