// The log service: the log growth reader, the listener and the service loop, and the login
// exchange. One thread, one select loop, one transfer buffer shared by the log data, the
// received messages and the replies, each use finished before the next begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "settings/settings.h"

namespace vantrel::service {

using settings::Settings;

// One receive takes at most this many bytes.
inline constexpr std::size_t kReceiveSize = 65536;
// The buffer's spare room past a full receive holds the terminator that decoding writes and
// the padding, trailer and zero byte of a reply built from a full receive.
inline constexpr std::size_t kTransferBufferSize = kReceiveSize + 8;
// The client set covers descriptors 0 to 63.
inline constexpr int kMaxDescriptors = 64;
// A send to a viewer that does not read fails after this many seconds.
inline constexpr int kSendTimeoutSeconds = 5;
// Longest a wait lasts while viewers are connected.
inline constexpr int kWaitSeconds = 2;

struct ServiceState {
  int listener = -1;
  std::uint64_t clients = 0;               // bit d set: descriptor d is a connected viewer
  int client_count = 0;                    // decides whether the wait is limited
  std::int64_t sent_offset = 0;            // the log file's content up to here has been taken
  std::unique_ptr<std::uint8_t[]> buffer;  // kTransferBufferSize bytes
};

// Allocates the transfer buffer. Returns false when no memory could be had.
bool allocate_transfer_buffer(ServiceState& state);

// One poll of the log file by path. Returns the length of the frame now waiting in the
// transfer buffer, 0 when there is nothing to send, or -1 after a fatal error was reported.
int poll_log(ServiceState& state, const Settings& settings);

// Reads up to `growth` bytes (at most one frame's payload) from the sent offset into the
// transfer buffer and frames them. Sets `next_offset` where the sent offset goes after this
// poll when the read came back empty (the writer truncated the file meanwhile); leaves it
// alone otherwise. Returns the frame length, 0 after an empty read, or -1 after a failure
// was reported.
int read_growth(ServiceState& state, const Settings& settings, std::int64_t growth,
                std::int64_t& next_offset);

// Opens an IPv4 listener on all local addresses. Returns its descriptor, or -1 after the
// failure was reported.
int open_listener(std::uint16_t port);

// Serves viewers until a fatal error, which it reports before returning -1.
int run_service(int listener, const Settings& settings);

// Closes a viewer's descriptor and takes it out of the client set.
void drop_client(ServiceState& state, int descriptor);

// Judges one received message of `received` bytes at the start of the transfer buffer: a
// login gets its acknowledgement or a rejection and a drop, anything else is echoed.
void handle_client_message(ServiceState& state, const Settings& settings, int descriptor,
                           std::size_t received);

}  // namespace vantrel::service
