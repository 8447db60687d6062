// The TLS policy the daemon, the viewer and the page share: the protocol floor, the ciphers,
// the options, OpenSSL's error text and the check of a key file's mode.
#pragma once

#include <sys/types.h>

#include <string>

struct ssl_ctx_st;

namespace vantrel::tls {

// TLS 1.2 or later; under 1.2 forward-secret AEAD ciphers only (TLS 1.3 keeps its own three);
// no compression, and no renegotiation a peer could start over and over. A server prefers its
// own order of ciphers. Returns false when this OpenSSL offers neither TLS 1.2 nor the ciphers.
bool apply_policy(ssl_ctx_st* context, bool server);

// The reason OpenSSL gives for its last error, which it then forgets; `if_none` when it has
// none (a peer that went away says nothing).
std::string openssl_reason(const char* if_none);

// Whether the key file's mode lets anyone read it beyond its owner and the permissions
// `allowed` (such as S_IRWXG for the owner's group). False where its mode cannot be read.
bool key_file_too_open(const std::string& path, mode_t allowed);

}  // namespace vantrel::tls
