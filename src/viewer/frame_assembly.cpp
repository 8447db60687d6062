#include <algorithm>

#include "codec/frame.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

// The shortest frame the daemon sends: it frames only growth and replies, never an empty
// payload, so a lone trailer byte is taken for a coincidence, not for an empty frame.
constexpr std::size_t kShortestRunFrame = 5;

struct Split {
  std::vector<std::size_t> ends;  // where each frame ends, in order
  int ways = 0;                   // 0, 1, or 2 for "two or more"
};

// Counts the ways to cut the block into whole frames, keeping the ends of the first way found.
// Every frame is checked in constant time (trailer and padding only), so the cost grows with
// the number of places a frame could end, which is small unless the data conspires.
Split split_into_frames(const std::uint8_t* block, std::size_t size, const Key& key) {
  if (size == 0 || size > kMaxBlock) return Split{};
  std::vector<std::uint8_t> ways(size + 1, 0);  // ways to reach each offset, capped at 2
  std::vector<std::size_t> previous(size + 1, 0);
  ways[0] = 1;
  for (std::size_t start = 0; start < size; ++start) {
    if (ways[start] == 0) continue;
    for (std::size_t end = start + kShortestRunFrame; end <= size; end += 4) {
      if (!is_whole_frame(block + start, end - start, key)) continue;
      if (ways[end] == 0) previous[end] = start;
      ways[end] = static_cast<std::uint8_t>(std::min(2, ways[end] + ways[start]));
    }
  }
  Split split;
  split.ways = ways[size];
  if (split.ways != 1) return split;
  for (std::size_t end = size; end > 0; end = previous[end]) split.ends.push_back(end);
  std::reverse(split.ends.begin(), split.ends.end());
  return split;
}

// Decodes the frames that end at `ends` (offsets from `first`) in place and records their
// payloads.
void decode_frames(FrameAssembly& assembly, std::size_t first, const std::vector<std::size_t>& ends,
                   const Key& key) {
  assembly.block.push_back(0);  // decoding may write its terminator one byte past a frame
  std::size_t start = first;
  for (const std::size_t end : ends) {
    const std::size_t size =
        codec::decode_frame(assembly.block.data() + start, first + end - start, key);
    assembly.payloads.push_back(Payload{start, size});
    start = first + end;
  }
  assembly.finished = true;
}

void drop_all(FrameAssembly& assembly, DropReason why) {
  assembly.dropped = assembly.block.size();
  assembly.drop_reason = why;
  assembly.block.clear();
}

// The block from `first` on, cut into frames when that can be done in exactly one way. Returns
// the number of ways, 0, 1 or 2 for "two or more".
int take_frames(FrameAssembly& assembly, std::size_t first, const Key& key) {
  const Split split =
      split_into_frames(assembly.block.data() + first, assembly.block.size() - first, key);
  if (split.ways == 1) decode_frames(assembly, first, split.ends, key);
  return split.ways;
}

}  // namespace

std::ptrdiff_t payload_length(const std::uint8_t* block, std::size_t size) {
  if (size % 4 != 1) return -1;
  const std::uint8_t trailer = block[size - 1];
  if (trailer < 1 || trailer > 4 || trailer > size) return -1;
  return static_cast<std::ptrdiff_t>(size - trailer);
}

bool is_whole_frame(const std::uint8_t* block, std::size_t size, const Key& key) {
  const std::ptrdiff_t length = payload_length(block, size);
  if (length < 0) return false;
  for (std::size_t i = static_cast<std::size_t>(length); i + 1 < size; ++i) {
    if ((block[i] ^ key[i % 4]) != 0xFF) return false;
  }
  return true;
}

void add_receive(FrameAssembly& assembly, const std::uint8_t* data, std::size_t size,
                 const Key& key) {
  if (assembly.finished) assembly.block.clear();
  assembly.finished = false;
  assembly.payloads.clear();
  assembly.dropped = 0;
  assembly.drop_reason = DropReason::kNone;
  const std::size_t kept = assembly.block.size();
  assembly.block.insert(assembly.block.end(), data, data + size);
  if (assembly.block.size() <= kMaxBlock) {
    const int ways = take_frames(assembly, 0, key);
    if (ways == 1) return;
    if (ways > 1) return drop_all(assembly, DropReason::kAmbiguous);
  }
  // Together they form no frame; perhaps the new receive does on its own.
  if (kept > 0 && size <= kMaxBlock && take_frames(assembly, kept, key) == 1) {
    assembly.dropped = kept;
    assembly.drop_reason = DropReason::kMalformed;
    return;
  }
  if (assembly.block.size() > kMaxBlock) drop_all(assembly, DropReason::kTooLong);
}

}  // namespace vantrel::viewer
