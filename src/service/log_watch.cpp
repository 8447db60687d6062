#include "service/log_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel::service {

namespace {

// What may change the file behind its name: writes, a writer closing it, a change of mode or
// owner, and the name coming, going or moving.
constexpr std::uint32_t kEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int refuse_watch(int watch, int error) {
  if (watch >= 0) close(watch);
  std::printf("vantrel: Can't watch the log file (%s), polling it every 2 seconds.\n",
              std::strerror(error));
  return -1;
}

}  // namespace

int open_log_watch(const std::string& path, int lowest) {
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0) return refuse_watch(-1, errno);
  // The descriptors below `lowest` are the viewers'; the wait takes any up to FD_SETSIZE.
  const int moved = fcntl(watch, F_DUPFD_CLOEXEC, lowest);
  if (moved >= 0) {
    close(watch);
    watch = moved;
  }
  if (watch >= FD_SETSIZE) return refuse_watch(watch, EMFILE);
  if (inotify_add_watch(watch, folder_of(path).c_str(), kEvents) < 0) {
    return refuse_watch(watch, errno);
  }
  return watch;
}

bool drain_log_watch(int watch, const std::string& path) {
  const std::string name = name_of(path);
  alignas(inotify_event) char events[4096];
  bool named = false;
  for (;;) {
    const ssize_t count = read(watch, events, sizeof events);
    if (count <= 0) return named;  // EAGAIN: nothing more waits
    for (ssize_t at = 0; at < count;) {
      inotify_event event;
      std::memcpy(&event, events + at, sizeof event);
      const char* event_name = events + at + sizeof event;
      if ((event.mask & IN_Q_OVERFLOW) != 0 || (event.len > 0 && name == event_name)) {
        named = true;
      }
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
}

}  // namespace vantrel::service
