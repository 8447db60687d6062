// A test viewer speaking frames to the daemon over a real loopback socket, and a daemon
// started in a temporary folder with its own configuration and log file.
#pragma once

#include <signal.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/settings.h"
#include "support/process.h"

namespace vantrel::testing {

inline constexpr std::uint32_t kTestKey = 0x3e07b1d4;

// Frames `payload` with `key` the way the daemon does; the zero byte after it is left off.
std::string make_frame(const std::string& payload, std::uint32_t key = kTestKey);
// Whether a block is one whole frame: 1 modulo 4 long, a trailer from 1 to 4, and padding that
// unscrambles to 0xFF.
bool looks_whole(const std::string& block, std::uint32_t key = kTestKey);
// The length of the first whole frame at the start of `bytes`, trying ends from `from` on; 0
// while there is none yet. Only sound for payloads that cannot scramble into a trailer byte.
std::size_t first_frame_length(std::string_view bytes, std::size_t from, std::uint32_t key);
// Takes apart a block of one or more whole frames of printable text (test payloads are), as
// frames sent in quick succession run together on the wire; nothing when it is not one.
bool split_printable_frames(const std::string& block, std::uint32_t key,
                            std::vector<std::string>& texts);
// Decodes one received block with `key`; returns the text up to its first zero byte.
std::string decode_block(std::string block, std::uint32_t key = kTestKey);

class TestViewer {
 public:
  TestViewer() = default;
  ~TestViewer();
  TestViewer(const TestViewer&) = delete;
  TestViewer& operator=(const TestViewer&) = delete;

  bool connect_to(unsigned short port);
  bool send_raw(const std::string& bytes);
  bool send_frame(const std::string& payload, std::uint32_t key = kTestKey) {
    return send_raw(make_frame(payload, key));
  }
  // The bytes of one receive, or nothing when none came in time or the daemon closed.
  std::optional<std::string> receive_block(Clock::duration limit = 10s);
  // Decoded frames, one receive each, until their concatenation holds `expected`.
  bool receive_text(const std::string& expected, Clock::duration limit = 10s,
                    std::uint32_t key = kTestKey);
  // Logs in asking for lengths and reads the answer, which must be exactly `answer` framed.
  bool log_in_framed(const std::string& password, const std::string& answer);
  // Frames behind their lengths, until their payloads hold `expected`. Fails on any block
  // that is not a length and a whole frame.
  bool receive_framed_text(const std::string& expected, Clock::duration limit = 10s);
  // True once the daemon has closed the connection; data still arriving is skipped.
  bool wait_closed(Clock::duration limit = 10s);
  // Shrinks the receive buffer; call before connect_to.
  void set_receive_buffer(int bytes) { receive_buffer_ = bytes; }
  // Ends the connection with a reset instead of an orderly close.
  void reset();
  void close_now();
  const std::string& received_text() const { return text_; }
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  int receive_buffer_ = 0;
  std::string text_;
  std::string pending_;  // received bytes not yet taken as frames
};

// An HTTP GET on loopback, read to the close: the status line's code and the body.
std::pair<int, std::string> http_get(unsigned short port, const std::string& target);

struct DaemonOptions {
  std::vector<std::string> config_lines = {"password = \"secret\"", "key = \"3e07b1d4\""};
  std::vector<std::string> extra_args;  // after -c CONFIG -p PORT -f LOG
  std::string initial_log;
  std::vector<std::string> environment;  // NAME=VALUE entries for the daemon
};

// An LD_PRELOAD entry that makes the daemon's change watch unavailable, as on a system
// without inotify or past its watch limit.
std::string without_inotify();

// The real daemon on a free port, with its configuration and log file in a temporary folder.
class Daemon {
 public:
  explicit Daemon(const DaemonOptions& options = {});
  // Starts the daemon and waits until it waits for viewers; again after stop_and_check, on
  // the same port, folder and log file.
  bool start();
  void append(const std::string& text) { append_file(log_path(), text); }
  std::string log_path() const { return dir_.file("test.log"); }
  const TempDir& dir() const { return dir_; }
  unsigned short port() const { return port_; }
  Process& process() { return process_; }
  void pause() { kill(process_.pid(), SIGSTOP); }
  void resume() { kill(process_.pid(), SIGCONT); }
  // Still running, then ends it; true when it had not stopped by itself or crashed.
  bool stop_and_check();

 private:
  DaemonOptions options_;
  TempDir dir_;
  unsigned short port_;
  Process process_;
};

}  // namespace vantrel::testing
