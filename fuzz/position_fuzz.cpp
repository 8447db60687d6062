// Positions on fuzzed input, both ends: a login's resume field as the daemon reads it, and a
// stream of lengths and notices as the viewer reads it, cut where the input says. Neither may
// crash or read out of bounds; a field that reads writes back to one that reads the same; every
// notice falls within what the reader put out.
#include <string>
#include <string_view>

#include "codec/position.h"
#include "follow/frame_assembly.h"
#include "follow/length_reader.h"
#include "fuzz_support.h"
#include "settings/settings.h"

namespace {

using vantrel::fuzz::check;
namespace codec = vantrel::codec;

bool same(const codec::ResumeRequest& a, const codec::ResumeRequest& b) {
  return a.kind == b.kind && (a.kind != codec::ResumeRequest::Kind::kLines || a.lines == b.lines) &&
         (a.kind != codec::ResumeRequest::Kind::kAt || a.at == b.at);
}

void read_field(std::string_view field) {
  const auto request = codec::parse_resume_field(field);
  if (!request) return;
  const auto again = codec::parse_resume_field(codec::resume_field(*request));
  check(again && same(*request, *again), "a field that reads writes back the same request");
}

void read_stream(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  vantrel::follow::LengthReader reader;
  reader.key = vantrel::settings::key_from_number(0x3e07b1d4);
  const std::size_t cut = data[0] % size;
  for (const auto& [from, to] : {std::pair{std::size_t{1}, cut + 1}, std::pair{cut + 1, size}}) {
    if (from >= to) continue;
    vantrel::follow::add_length_receive(reader, data + from, to - from);
    for (const auto& [offset, notice] : reader.notices) {
      check(offset <= reader.output.size(), "a notice falls within the output");
      check(notice.position.check_length <= codec::kCheckBytes, "a notice's check fits");
    }
    check(reader.taken <= reader.bytes.size(), "nothing taken that did not come");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  read_field(std::string_view(reinterpret_cast<const char*>(data), size));
  read_stream(data, size);
  return 0;
}
