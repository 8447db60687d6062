// Frames behind their lengths: once the daemon has granted lengths, nothing is guessed. Also
// the search for the grant itself among bytes read before it, whose frames have no lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/key.h"
#include "codec/position.h"

namespace vantrel::follow {

using codec::Key;

// Once the daemon has acknowledged a login that asked for lengths, each frame comes behind its
// length: nothing is guessed.
// A daemon that grants positions also sends notices where the lengths stand: each is kept with
// where in `output` it falls.
struct LengthReader {
  Key key{};
  std::vector<std::uint8_t> bytes;  // received and not yet taken, from `taken` on
  std::size_t taken = 0;
  std::vector<std::uint8_t> output;  // what the last call decoded, payloads run together
  std::vector<std::pair<std::size_t, codec::Notice>> notices;  // and the notices among them
  std::vector<std::vector<std::uint8_t>> answers;              // the whole log's answers' payloads
  bool malformed = false;  // a length, a frame or a notice that cannot be: the stream is lost
};

// Adds one receive. Afterwards `output` holds the payloads of the frames it completed.
void add_length_receive(LengthReader& reader, const std::uint8_t* data, std::size_t size);

// Whether `bytes` ends with the frame of a login answer that names the lengths capability:
// "YIPI ", a path, a zero byte and the capability.
bool ends_with_framed_answer(const std::vector<std::uint8_t>& bytes, const Key& key);

// The path that the login answer granting lengths which ends at `end` names, if one ends there;
// `whole`, where given, says whether it also grants the whole log.
std::optional<std::string> framed_answer_path(const std::vector<std::uint8_t>& bytes,
                                              std::size_t end, const Key& key,
                                              bool* whole = nullptr);

// A daemon that grants positions sends a notice right behind its answer. Looks for an answer
// followed by a notice's mark at or after `from`; returns where the answer ends and its path.
std::optional<std::size_t> find_positions_grant(const std::vector<std::uint8_t>& bytes,
                                                std::size_t from, const Key& key, std::string& path,
                                                bool* whole = nullptr);

}  // namespace vantrel::follow
