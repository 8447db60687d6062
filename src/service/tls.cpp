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

#include "service/service_state.h"

namespace vantrel::service {

namespace {

// TLS 1.2 with forward-secret AEAD ciphers only; TLS 1.3 keeps its own three.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Reports past this many in one second are counted, not printed.
constexpr int kReportsPerSecond = 5;

volatile std::sig_atomic_t reload_asked = 0;

void ask_reload(int) { reload_asked = 1; }

std::string openssl_reason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "the peer closed the connection";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

void warn_if_readable_by_others(const std::string& key) {
  struct stat status {};
  if (stat(key.c_str(), &status) == 0 && (status.st_mode & S_IRWXO) != 0) {
    std::printf("vantrel: Warning: others may read the key file '%s'; chmod 640 it.\n",
                key.c_str());
  }
}

bool use_files(SSL_CTX* context, const settings::Settings& settings) {
  if (SSL_CTX_use_certificate_chain_file(context, settings.tls_cert->c_str()) != 1) {
    std::printf("vantrel: Can't use the certificate '%s': %s\n", settings.tls_cert->c_str(),
                openssl_reason().c_str());
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(context, settings.tls_key->c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    std::printf("vantrel: Can't use the key '%s' with that certificate: %s\n",
                settings.tls_key->c_str(), openssl_reason().c_str());
    return false;
  }
  if (settings.tls_ca) {
    if (SSL_CTX_load_verify_locations(context, settings.tls_ca->c_str(), nullptr) != 1) {
      std::printf("vantrel: Can't use the CA file '%s': %s\n", settings.tls_ca->c_str(),
                  openssl_reason().c_str());
      return false;
    }
    // A viewer without a certificate from this CA fails the handshake.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return true;
}

void set_peer(Connection& connection, const sockaddr_in& peer) {
  std::snprintf(connection.peer, sizeof connection.peer, "%s:%hu", inet_ntoa(peer.sin_addr),
                ntohs(peer.sin_port));
}

void give_up_handshake(ServiceState& state, int descriptor, const char* why) {
  Connection& connection = state.connections[static_cast<std::size_t>(descriptor)];
  report_peer_failure(connection.peer, why);
  close_connection(connection, descriptor);
  state.handshakes &= ~(std::uint64_t{1} << descriptor);
}

// The handshake is done: the peer becomes a viewer. Without a CA it gets no log byte before
// it has logged in with the password.
void admit_viewer(ServiceState& state, const settings::Settings& settings, int descriptor) {
  Connection& connection = state.connections[static_cast<std::size_t>(descriptor)];
  connection.handshaking = false;
  state.handshakes &= ~(std::uint64_t{1} << descriptor);
  std::printf("vantrel: Connect from host %s(%i) over TLS.\n", connection.peer, descriptor);
  state.clients |= std::uint64_t{1} << descriptor;
  ++state.client_count;
  start_viewer(state, settings, descriptor);
  state.viewers[static_cast<std::size_t>(descriptor)].awaits_login = !settings.tls_ca;
}

void step_handshake(ServiceState& state, const settings::Settings& settings, int descriptor) {
  Connection& connection = state.connections[static_cast<std::size_t>(descriptor)];
  ERR_clear_error();
  const int done = SSL_accept(connection.tls);
  if (done == 1) return admit_viewer(state, settings, descriptor);
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
    std::printf("vantrel: Can't set up TLS: %s\n", openssl_reason().c_str());
    return nullptr;
  }
  // No compression, no renegotiation a peer could start over and over; partial writes, each
  // record finished from wherever its bytes lie when it is tried again.
  SSL_CTX_set_options(
      context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  // Viewers do not resume TLS sessions: no tickets to make, send and keep.
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1 || !use_files(context, settings)) {
    if (ERR_peek_error() != 0) std::printf("vantrel: %s\n", openssl_reason().c_str());
    SSL_CTX_free(context);
    return nullptr;
  }
  warn_if_readable_by_others(*settings.tls_key);
  return context;
}

void accept_tls_client(ServiceState& state, const settings::Settings& settings) {
  (void)settings;
  sockaddr_in peer{};
  socklen_t peer_size = sizeof peer;
  const int descriptor = accept(state.tls_listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
  if (descriptor < 0) {
    std::perror("vantrel: accept");
    return;
  }
  Connection& connection =
      state.connections[static_cast<std::size_t>(std::min(descriptor, kMaxDescriptors - 1))];
  if (descriptor >= kMaxDescriptors) {
    close(descriptor);
    std::printf("vantrel: Too many clients, closing connection from %s:%hu(%i).\n",
                inet_ntoa(peer.sin_addr), ntohs(peer.sin_port), descriptor);
    return;
  }
  set_peer(connection, peer);
  fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
  connection.tls = SSL_new(state.tls.get());
  if (connection.tls == nullptr || SSL_set_fd(connection.tls, descriptor) != 1) {
    give_up_handshake(state, descriptor, "can't set up TLS");
    return;
  }
  tune_viewer_socket(descriptor);
  connection.handshaking = true;
  connection.deadline = Clock::now() + kHandshakeLimit;
  state.handshakes |= std::uint64_t{1} << descriptor;
}

int add_handshake_waits(const ServiceState& state, fd_set& ready, fd_set& room) {
  int highest = -1;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if ((state.handshakes >> d & 1U) == 0) continue;
    FD_SET(d, state.connections[static_cast<std::size_t>(d)].wants_room ? &room : &ready);
    highest = d;
  }
  return highest;
}

void serve_handshakes(ServiceState& state, const settings::Settings& settings, fd_set& ready,
                      fd_set& room) {
  report_unsaid_failures();
  const Clock::time_point now = Clock::now();
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if ((state.handshakes >> d & 1U) == 0) continue;
    if (FD_ISSET(d, &ready) || FD_ISSET(d, &room)) {
      // Taken here: whatever becomes of the handshake, the rest of the turn leaves it be.
      FD_CLR(d, &ready);
      FD_CLR(d, &room);
      step_handshake(state, settings, d);
    } else if (now >= state.connections[static_cast<std::size_t>(d)].deadline) {
      give_up_handshake(state, d, "TLS handshake not finished within 5 seconds");
    }
  }
}

std::optional<Clock::time_point> next_handshake_deadline(const ServiceState& state) {
  std::optional<Clock::time_point> earliest;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if ((state.handshakes >> d & 1U) == 0) continue;
    const Clock::time_point deadline = state.connections[static_cast<std::size_t>(d)].deadline;
    if (!earliest || deadline < *earliest) earliest = deadline;
  }
  return earliest;
}

void reload_tls_if_asked(ServiceState& state, const settings::Settings& settings) {
  if (state.tls == nullptr) return;
  if (!state.reload_watched) {
    struct sigaction action {};
    action.sa_handler = ask_reload;  // no SA_RESTART: the wait ends, and the reload is seen
    sigaction(SIGHUP, &action, nullptr);
    state.reload_watched = true;
  }
  if (reload_asked == 0) return;
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
    if (is_client(state, d) && has_buffered_bytes(state.connections[static_cast<std::size_t>(d)])) {
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
