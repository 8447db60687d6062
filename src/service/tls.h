// The daemon's TLS listener: its context (certificate chain, key, and the CA that signs viewers'
// certificates, if one is set), and the handshakes, each a step at a time inside the one loop
// with a deadline, so that a peer that never finishes holds up nobody.
#pragma once

#include <sys/select.h>

#include <chrono>
#include <optional>

#include "service/connection.h"
#include "settings/settings.h"

struct ssl_ctx_st;

namespace vantrel::service {

struct ServiceState;

inline constexpr std::chrono::seconds kHandshakeLimit{5};

// Reads the certificate chain, the key and the CA. Returns the context, or null after saying
// why. Warns when the key file may be read by others than its owner and group.
ssl_ctx_st* make_tls_context(const settings::Settings& settings);

// Begins the handshake of a connection accepted on the TLS listener.
void begin_handshake(ServiceState& state, int descriptor);

// Adds the handshakes to the sets they wait in. Returns the highest descriptor added, or -1.
int add_handshake_waits(const ServiceState& state, fd_set& ready, fd_set& room);

// Takes each handshake that `ready` or `room` names a step on, and out of them; one that
// completes makes its peer a viewer. Handshakes past their deadline are given up.
void serve_handshakes(ServiceState& state, const settings::Settings& settings, fd_set& ready,
                      fd_set& room);

// The nearest handshake deadline, if a handshake is under way.
std::optional<std::chrono::steady_clock::time_point> next_handshake_deadline(
    const ServiceState& state);

// From here on, SIGHUP asks for the certificates to be read again, and ends the wait.
void install_reload_signal();

// After a SIGHUP: new handshakes use the certificates read again; open connections keep theirs.
// A reload that fails keeps the old ones and says why.
void reload_tls_if_asked(ServiceState& state, const settings::Settings& settings);

// Adds to `ready` the viewers whose TLS holds bytes already read. Returns whether any does.
bool add_buffered_reads(const ServiceState& state, fd_set& ready);

// Says a failure of a peer on the console, at most a few a second; the count of those left
// unsaid is said once their second is over, by this or by report_unsaid_failures.
void report_peer_failure(const char* peer, const char* what);
void report_unsaid_failures();

}  // namespace vantrel::service
