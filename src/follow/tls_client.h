// TLS to a daemon, for a source whose configuration gives tls_port: the daemon is verified
// against the CA file (tls_ca, its certificate naming the host connected to) or against a pinned
// SHA-256 fingerprint of its certificate (tls_fingerprint); the viewer's own certificate
// (viewer_cert, viewer_key) goes to a daemon that asks for one. The terminal and the page both
// reach their daemons through this.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

struct ssl_st;

namespace vantrel::follow {

struct Source;

// Begins TLS on the connected descriptor `fd`. Null after saying why.
ssl_st* begin_tls(const Source& source, int fd, const std::string& label);

enum class TlsStep { kDone, kWantRead, kWantWrite, kFailed, kUnverified };

// Takes the handshake a step on. kUnverified: the daemon is not the one configured, or it
// refused this viewer's certificate (said).
TlsStep step_tls(ssl_st* tls, const Source& source, const std::string& label);

// Sends all of `data` (the descriptor blocks). Returns whether it went.
bool send_all(int fd, ssl_st* tls, const void* data, std::size_t size);

// One receive: the bytes, 0 when the daemon closed, -1 after a failure (errno set where it is
// the socket's), or kTlsNothingYet when TLS read only its own records.
inline constexpr ssize_t kTlsNothingYet = -2;
ssize_t receive_some(int fd, ssl_st* tls, void* buffer, std::size_t size);

// After a send or receive failed on a connection whose login has not been answered: why the
// daemon refused this viewer's certificate, in TLS's words ("a certificate is required",
// "unknown CA", "certificate expired"), read from the alert it sent before it closed; ""
// where it did not refuse it.
std::string certificate_refusal(int fd, ssl_st* tls);

// TLS holds bytes already read, which a poll would not announce.
bool has_pending(ssl_st* tls);

void end_tls(ssl_st* tls);

}  // namespace vantrel::follow
