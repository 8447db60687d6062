#include "follow/place.h"

namespace vantrel::follow {

codec::Position resume_position(const StreamPlace& place) {
  codec::Position position = place.base;
  if (place.since == 0) return position;
  position.offset += place.since;
  position.check_length = static_cast<std::uint8_t>(place.window.size());
  position.check = codec::check_of(reinterpret_cast<const std::uint8_t*>(place.window.data()),
                                   place.window.size());
  return position;
}

void advance(StreamPlace& place, std::string_view bytes) {
  place.since += bytes.size();
  if (bytes.size() >= codec::kCheckBytes) {
    place.window.assign(bytes.substr(bytes.size() - codec::kCheckBytes));
    return;
  }
  place.window.append(bytes);
  if (place.window.size() > codec::kCheckBytes) {
    place.window.erase(0, place.window.size() - codec::kCheckBytes);
  }
}

}  // namespace vantrel::follow
