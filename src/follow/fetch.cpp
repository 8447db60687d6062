#include "follow/fetch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "codec/frame.h"
#include "codec/login.h"
#include "follow/length_reader.h"
#include "follow/tls_client.h"

namespace vantrel::follow {

namespace {

// The most a request waits for the daemon at any one step: its connection, its login, its
// handshake, and the gap between two answers (a search reports its progress more often).
constexpr int kStepMilliseconds = 10000;

// Waits until `fd` is ready for `events`; false when the time ran out.
bool wait_for(int fd, short events) {
  pollfd ready{fd, events, 0};
  return poll(&ready, 1, kStepMilliseconds) > 0;
}

int connect_to(const Source& source, std::string& problem) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(source.host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    problem = "unknown host " + source.host;
    return -1;
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_port = htons(source.settings.port);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    problem = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      (errno != EINPROGRESS || !wait_for(fd, POLLOUT) ||
       getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)) {
    problem = std::string("connect: ") + std::strerror(error != 0 ? error : errno);
    close(fd);
    return -1;
  }
  return fd;
}

// The TLS handshake, step by step, on the descriptor that does not block.
bool shake_hands(const Source& source, int fd, ssl_st*& tls, std::string& problem) {
  tls = begin_tls(source, fd, source.name + ": ");
  for (TlsStep step = tls == nullptr ? TlsStep::kFailed : TlsStep::kWantWrite;;) {
    step = step_tls(tls, source, source.name + ": ");
    if (step == TlsStep::kDone) return true;
    if ((step != TlsStep::kWantRead && step != TlsStep::kWantWrite) ||
        !wait_for(fd, step == TlsStep::kWantRead ? POLLIN : POLLOUT)) {
      problem = "no TLS with the daemon";
      return false;
    }
  }
}

// One connection's reading: the receives, by their lengths once the grant is found.
struct Reading {
  int fd = -1;
  ssl_st* tls = nullptr;
  LengthReader reader;
  std::vector<std::uint8_t> before;  // what came before the grant
  bool granted = false;
  std::optional<codec::Position> live_end;
};

// Receives once; false when the daemon closed or nothing came in time.
bool receive(Reading& reading, std::string& problem) {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t count = receive_some(reading.fd, reading.tls, buffer, sizeof buffer);
    if (count == kTlsNothingYet || (count < 0 && errno == EAGAIN)) {
      if (!has_pending(reading.tls) && !wait_for(reading.fd, POLLIN)) {
        problem = "the daemon answers nothing";
        return false;
      }
      continue;
    }
    if (count <= 0) {
      problem = "the daemon closed the connection";
      return false;
    }
    if (reading.granted) {
      add_length_receive(reading.reader, buffer, static_cast<std::size_t>(count));
    } else {
      reading.before.insert(reading.before.end(), buffer, buffer + count);
      std::string path;
      bool whole = false;
      const auto end = find_positions_grant(reading.before, 0, reading.reader.key, path, &whole);
      if (!end) continue;
      if (!whole) {
        problem = "the daemon does not serve the whole log";
        return false;
      }
      reading.granted = true;
      add_length_receive(reading.reader, reading.before.data() + *end,
                         reading.before.size() - *end);
    }
    if (reading.reader.malformed) {
      problem = "the daemon's stream cannot be read";
      return false;
    }
    if (!reading.live_end && !reading.reader.notices.empty()) {
      reading.live_end = reading.reader.notices.front().second.position;
    }
    return true;
  }
}

// A request behind its length; the login, which comes before the daemon reads lengths, without.
bool send_frame(Reading& reading, const std::string& text, bool behind_length,
                const codec::Key& key) {
  const std::string frame = codec::request_frame(text, key);
  const std::size_t skip = behind_length ? 0 : codec::kLengthPrefixBytes;
  return send_all(reading.fd, reading.tls, frame.data() + skip, frame.size() - skip);
}

// Hands the answers to request `id` to `take` until the one that ends it, which it returns; no
// value when `take` stopped (problem empty) or the connection failed (problem says why).
std::optional<codec::Answer> answers_to(Reading& reading, std::uint32_t id, const TakeAnswer& take,
                                        std::string& problem) {
  for (;;) {
    // Copied out: the next receive lets go of the reader's answers.
    std::vector<std::vector<std::uint8_t>> answers = std::move(reading.reader.answers);
    reading.reader.answers.clear();
    for (const auto& payload : answers) {
      const auto answer = codec::read_answer(payload.data(), payload.size());
      if (!answer || answer->id != id) continue;
      if (!take(*answer)) return std::nullopt;
      if (answer->kind == codec::AnswerKind::kRangeEnd ||
          answer->kind == codec::AnswerKind::kDone || answer->kind == codec::AnswerKind::kRefused ||
          answer->kind == codec::AnswerKind::kCounters) {
        codec::Answer last = *answer;
        last.bytes = {};  // they go with this batch of answers
        return last;
      }
    }
    if (!receive(reading, problem)) return std::nullopt;
  }
}

bool run(Reading& reading, const Source& source, const MakeRequest& make, const TakeAnswer& take,
         const NextRequest& next, std::string& problem) {
  const settings::Settings& settings = source.settings;
  if (!settings.password) {
    problem = "no password for the daemon: the whole log needs a login";
    return false;
  }
  reading.reader.key = settings.key;
  const codec::ResumeRequest at_end{codec::ResumeRequest::Kind::kBytes, 0, {}};
  if (!send_frame(reading, codec::login_request(*settings.password, at_end, true), false,
                  settings.key)) {
    problem = "the login could not be sent";
    return false;
  }
  while (!reading.live_end) {
    if (!receive(reading, problem)) return false;
  }
  std::optional<codec::WholeRequest> request = make(*reading.live_end);
  while (request) {
    if (!send_frame(reading, codec::request_text(*request), true, settings.key)) {
      problem = "the request could not be sent";
      return false;
    }
    const std::optional<codec::Answer> last = answers_to(reading, request->id, take, problem);
    if (!last) return problem.empty();
    request = next(*last);
  }
  return true;
}

}  // namespace

bool fetch_whole(const Source& source, const MakeRequest& make, const TakeAnswer& take,
                 const NextRequest& next, std::string& problem) {
  Reading reading;
  reading.fd = connect_to(source, problem);
  if (reading.fd < 0) return false;
  bool done =
      source.tls_context == nullptr || shake_hands(source, reading.fd, reading.tls, problem);
  done = done && run(reading, source, make, take, next, problem);
  if (reading.tls != nullptr) end_tls(reading.tls);
  // A reset, as the viewer's other connections end: the daemon's port stays free.
  linger abort_on_close{1, 0};
  setsockopt(reading.fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close(reading.fd);
  return done;
}

std::optional<std::string> fetch_counters(const Source& source, std::string& problem) {
  std::optional<std::string> counters;
  const auto make = [](const codec::Position&) {
    codec::WholeRequest request;
    request.kind = codec::WholeRequest::Kind::kStats;
    request.id = 1;
    return request;
  };
  const auto take = [&](const codec::Answer& answer) {
    if (answer.kind == codec::AnswerKind::kCounters) counters = std::string(answer.bytes);
    return true;
  };
  const auto no_next = [](const codec::Answer&) { return std::optional<codec::WholeRequest>{}; };
  if (!fetch_whole(source, make, take, no_next, problem)) return std::nullopt;
  if (!counters) problem = "the daemon does not give its counters";
  return counters;
}

}  // namespace vantrel::follow
