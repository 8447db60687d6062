// Streams of log text framed as the daemon frames growth, for the property test and the fuzzer
// of the viewer's frame assembly. Header-only: the fuzzer links no test library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/frame.h"
#include "settings/settings.h"

namespace vantrel::testing {

// Log text of the kinds viewers follow. Kind 4 is full of '?' at offsets of 0 modulo 4,
// which key 3e07b1d4 turns into trailer bytes.
inline std::string log_text(std::mt19937& random, int kind, std::size_t size) {
  static const std::vector<std::string> pieces[] = {
      {"GET /index.html 200 ", "user=alice ", "ERROR disk full\n", "[12:00:01] ", "ok\n"},
      {"caf\xc3\xa9 ", "\xe2\x9c\x93 done\n", "\xd0\xbf\xd1\x80\xd0\xb8 ", "na\xc3\xafve\n"},
      {"caf\xe9 ", "\xe0 bient\xf4t\n",
       "\xb0"
       "C ",
       "\xfe\xb1\xb2\xb3\xb5 ", "x\n"},
      {"\x1b[31mred\x1b[0m ", "\x1b[1;32mbold\x1b[m\n", "\t\r\n", "plain "},
      {"????", "?abc", "? ? ", "?\n??"},
  };
  const std::vector<std::string>& choice = pieces[kind];
  std::string text;
  while (text.size() < size) text += choice[random() % choice.size()];
  text.resize(size);
  return text;
}

// Under a key whose bytes differ only in their low five bits (repeated bytes among them), text
// stays text when the key is shifted, so the bytes after a false cut leave no trace: frames
// run together read as well as one frame that holds the characters the trailers unscramble
// to. Only line ends tell them apart. For such keys the text leaves those characters out, and
// each payload ends a line, as a writer's appends do.
inline bool hides_shifts(std::uint32_t key) {
  const settings::Key bytes_of = settings::key_from_number(key);
  for (const std::uint8_t a : bytes_of) {
    for (const std::uint8_t b : bytes_of) {
      if ((a ^ b) >= 0x20) return false;
    }
  }
  return true;
}

inline std::string readable_under(std::uint32_t key, std::string text) {
  if (!hides_shifts(key)) return text;
  for (char& c : text) {
    for (const std::uint8_t k : settings::key_from_number(key)) {
      if (static_cast<std::uint8_t>((static_cast<std::uint8_t>(c) ^ k) - 1) < 4) c = '.';
    }
  }
  if (!text.empty()) text.back() = '\n';
  return text;
}

inline std::uint32_t some_key(std::mt19937& random) {
  switch (random() % 4) {
    case 0:
      return 0x3e07b1d4;
    case 1:
      return 0x41424344;  // printable: letters unscramble to trailer bytes
    case 2:
      return 0x01010101u * static_cast<std::uint32_t>(1 + random() % 255);  // one byte four times
    default:
      return static_cast<std::uint32_t>(random()) | 1u;
  }
}

inline std::size_t some_size(std::mt19937& random, std::size_t largest) {
  switch (random() % 10) {
    case 0:
      return 1 + random() % largest;
    case 1:
    case 2:
      return 1 + random() % std::min<std::size_t>(largest, 5000);
    default:
      return 1 + random() % std::min<std::size_t>(largest, 200);
  }
}

// The frame the daemon makes of `payload` under `key`.
inline std::string make_frame_with(const std::string& payload, std::uint32_t key) {
  std::string frame(codec::encoded_room(payload.size()), '\0');
  frame.replace(0, payload.size(), payload);
  frame.resize(codec::encode_frame(reinterpret_cast<std::uint8_t*>(frame.data()), payload.size(),
                                   settings::key_from_number(key)));
  return frame;
}

struct LogStream {
  std::uint32_t key;
  std::string payloads;                 // every payload, in order
  std::string bytes;                    // their frames, run together
  std::vector<std::size_t> frame_ends;  // where each frame ends in `bytes`
};

// One to six frames of one kind of text under one key, of sizes from 1 to `largest` bytes.
inline LogStream make_log_stream(std::mt19937& random, std::size_t largest = codec::kMaxPayload) {
  LogStream log{some_key(random), "", "", {}};
  const int kind = static_cast<int>(random() % 5);
  const std::size_t frames = 1 + random() % 6;
  for (std::size_t i = 0; i < frames; ++i) {
    const std::string payload =
        readable_under(log.key, log_text(random, kind, some_size(random, largest)));
    log.payloads += payload;
    log.bytes += make_frame_with(payload, log.key);
    log.frame_ends.push_back(log.bytes.size());
  }
  return log;
}

}  // namespace vantrel::testing
