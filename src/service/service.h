// The log service, as the rest of the program uses it: listeners, and the loop that serves
// viewers on them until a fatal error. Everything else in src/service is internal to it.
#pragma once

#include <cstdint>
#include <string>

#include "settings/settings.h"

struct ssl_ctx_st;

namespace vantrel::service {

// Opens an IPv4 listener on `address` (in network byte order; 0, the default, is all local
// addresses) with room for `backlog` connections not yet accepted. Returns its descriptor, or
// -1 after the failure was reported; a listener with a `label` (tls_listener_label) names
// itself in its reports.
int open_listener(std::uint16_t port, std::uint32_t address = 0, int backlog = 1,
                  const std::string& label = "");

// "TLS listener ADDRESS:PORT", as the TLS listener's reports name it.
std::string tls_listener_label(const settings::Settings& settings);

// The TLS listener's certificates and policy, read before the service starts so that a failure
// is reported before it says it waits for viewers. Null after the failure was reported.
ssl_ctx_st* open_tls(const settings::Settings& settings);

// The TLS listener's backlog: strangers' connections that fail their handshakes must not keep
// a viewer out for the second a refused connection waits before it tries again.
inline constexpr int kTlsBacklog = 64;

// Serves viewers on the plain listener and the TLS one (either may be -1; `tls` is open_tls's
// for the TLS one, owned from then on) until a fatal error, which it reports before returning -1.
int run_service(int listener, int tls_listener, ssl_ctx_st* tls,
                const settings::Settings& settings);

}  // namespace vantrel::service
