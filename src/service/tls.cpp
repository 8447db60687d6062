#include "service/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "service/service.h"
#include "service/service_state.h"
#include "tls/policy.h"

namespace vantrel::service {

namespace {

// Reports past this many in one second are counted, not printed.
constexpr int kReportsPerSecond = 5;

volatile std::sig_atomic_t reload_asked = 0;

void ask_reload(int) { reload_asked = 1; }

std::string openssl_reason() { return tls::openssl_reason("the peer closed the connection"); }

// The daemon's key may be read by its group: the packaged unit's user reads it as a member of
// the vantrel group, which owns it with mode 0640.
void warn_if_readable_by_others(const std::string& key) {
  if (tls::key_file_too_open(key, S_IRWXG)) {
    std::printf("vantrel: Warning: others may read the key file '%s'; chmod 640 it.\n",
                key.c_str());
  }
}

std::string label(const settings::Settings& settings) { return tls_listener_label(settings); }

bool use_files(SSL_CTX* context, const settings::Settings& settings) {
  if (SSL_CTX_use_certificate_chain_file(context, settings.tls_cert->c_str()) != 1) {
    std::printf("vantrel: %s: Can't use the certificate '%s': %s\n", label(settings).c_str(),
                settings.tls_cert->c_str(), openssl_reason().c_str());
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(context, settings.tls_key->c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    std::printf("vantrel: %s: Can't use the key '%s' with that certificate: %s\n",
                label(settings).c_str(), settings.tls_key->c_str(), openssl_reason().c_str());
    return false;
  }
  if (settings.tls_ca) {
    if (SSL_CTX_load_verify_locations(context, settings.tls_ca->c_str(), nullptr) != 1) {
      std::printf("vantrel: %s: Can't use the CA file '%s': %s\n", label(settings).c_str(),
                  settings.tls_ca->c_str(), openssl_reason().c_str());
      return false;
    }
    // A viewer without a certificate from this CA fails the handshake.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return true;
}

void give_up_handshake(ServiceState& state, int descriptor, const char* why) {
  ++state.counters.refused_handshake;
  report_peer_failure(viewer_at(state, descriptor).connection.peer, why);
  drop_viewer(state, descriptor);
}

// The handshake is done: the peer becomes a viewer. Without a CA it gets no log byte before
// it has logged in with the password.
void finish_handshake(ServiceState& state, const settings::Settings& settings, int descriptor) {
  std::printf("vantrel: Connect from host %s(%i) over TLS.\n",
              viewer_at(state, descriptor).connection.peer, descriptor);
  admit_viewer(state, settings, descriptor);
  viewer_at(state, descriptor).login_first = !settings.tls_ca;
}

void step_handshake(ServiceState& state, const settings::Settings& settings, int descriptor) {
  Connection& connection = viewer_at(state, descriptor).connection;
  ERR_clear_error();
  const int done = SSL_accept(connection.tls);
  if (done == 1) return finish_handshake(state, settings, descriptor);
  const int error = SSL_get_error(connection.tls, done);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    connection.wants_room = error == SSL_ERROR_WANT_WRITE;
    return;
  }
  const std::string why = "TLS handshake failed: " + openssl_reason();
  give_up_handshake(state, descriptor, why.c_str());
}

}  // namespace

SSL_CTX* make_tls_context(const settings::Settings& settings) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    std::printf("vantrel: %s: Can't set up TLS: %s\n", label(settings).c_str(),
                openssl_reason().c_str());
    return nullptr;
  }
  // Partial writes, each record finished from wherever its bytes lie when it is tried again.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  // Viewers do not resume TLS sessions: no tickets to make, send and keep.
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  if (!tls::apply_policy(context, true) || !use_files(context, settings)) {
    if (ERR_peek_error() != 0) {
      std::printf("vantrel: %s: %s\n", label(settings).c_str(), openssl_reason().c_str());
    }
    SSL_CTX_free(context);
    return nullptr;
  }
  warn_if_readable_by_others(*settings.tls_key);
  return context;
}

void begin_handshake(ServiceState& state, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  viewer.phase = Viewer::Phase::kHandshaking;
  fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
  Connection& connection = viewer.connection;
  connection.tls = SSL_new(state.tls.get());
  if (connection.tls == nullptr || SSL_set_fd(connection.tls, descriptor) != 1) {
    give_up_handshake(state, descriptor, "can't set up TLS");
    return;
  }
  connection.deadline = Clock::now() + kHandshakeLimit;
}

int add_handshake_waits(const ServiceState& state, fd_set& ready, fd_set& room) {
  int highest = -1;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_handshaking(viewer_at(state, d))) continue;
    FD_SET(d, viewer_at(state, d).connection.wants_room ? &room : &ready);
    highest = d;
  }
  return highest;
}

void serve_handshakes(ServiceState& state, const settings::Settings& settings, fd_set& ready,
                      fd_set& room) {
  report_unsaid_failures();
  const Clock::time_point now = Clock::now();
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_handshaking(viewer_at(state, d))) continue;
    if (FD_ISSET(d, &ready) || FD_ISSET(d, &room)) {
      // Taken here: whatever becomes of the handshake, the rest of the turn leaves it be.
      FD_CLR(d, &ready);
      FD_CLR(d, &room);
      step_handshake(state, settings, d);
    } else if (now >= viewer_at(state, d).connection.deadline) {
      give_up_handshake(state, d, "TLS handshake not finished within 5 seconds");
    }
  }
}

std::optional<Clock::time_point> next_handshake_deadline(const ServiceState& state) {
  std::optional<Clock::time_point> earliest;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_handshaking(viewer_at(state, d))) continue;
    const Clock::time_point deadline = viewer_at(state, d).connection.deadline;
    if (!earliest || deadline < *earliest) earliest = deadline;
  }
  return earliest;
}

void install_reload_signal() {
  struct sigaction action {};
  action.sa_handler = ask_reload;  // no SA_RESTART: the wait ends, and the reload is seen
  sigaction(SIGHUP, &action, nullptr);
}

void reload_tls_if_asked(ServiceState& state, const settings::Settings& settings) {
  if (state.tls == nullptr || reload_asked == 0) return;
  reload_asked = 0;
  SSL_CTX* renewed = make_tls_context(settings);
  if (renewed == nullptr) {
    std::printf("vantrel: Kept the certificates in use.\n");
    return;
  }
  // Connections keep a reference to the context they were made with.
  state.tls.reset(renewed);
  std::printf("vantrel: Read the certificates again.\n");
}

bool add_buffered_reads(const ServiceState& state, fd_set& ready) {
  bool any = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_viewer(state, d) && has_buffered_bytes(viewer_at(state, d).connection)) {
      FD_SET(d, &ready);
      any = true;
    }
  }
  return any;
}

namespace {

// Failures of peers in the current second: past kReportsPerSecond they are counted, and the
// count is said once the second is over.
struct PeerReports {
  std::time_t second = 0;
  int said = 0;
  int unsaid = 0;
};
PeerReports peer_reports;

void start_second(std::time_t now) {
  if (now == peer_reports.second) return;
  if (peer_reports.unsaid > 0) {
    std::printf("vantrel: %d more failures from peers not shown.\n", peer_reports.unsaid);
  }
  peer_reports = PeerReports{now, 0, 0};
}

}  // namespace

void report_peer_failure(const char* peer, const char* what) {
  start_second(std::time(nullptr));
  if (++peer_reports.said > kReportsPerSecond) {
    ++peer_reports.unsaid;
    return;
  }
  std::printf("vantrel: %s: %s\n", peer, what);
}

void report_unsaid_failures() { start_second(std::time(nullptr)); }

}  // namespace vantrel::service
