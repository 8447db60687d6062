// HTTPS for the page: the certificate and key, under the TLS policy the daemon and the viewer
// share (tls/policy.h).
#pragma once

#include <memory>
#include <string>

// clang-format off
#include <boost/asio/ssl/context.hpp>
// clang-format on

namespace vantrel::web {

// Reads the certificate chain and the key. Returns the context, or null after saying why not.
// Warns when the key file may be read by group or others.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const std::string& certificate,
                                                            const std::string& key);

}  // namespace vantrel::web
