#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>

#include "exporter/web_config.h"

// The exporter's HTTP side: cpp-httplib's request handling on connections this file holds to
// bounds, so that slow or idle clients can neither take every thread nor keep a connection
// for long.
namespace exporter {

struct WebLimits {
    // From the connection to the end of the request's head (the TLS handshake included).
    std::chrono::milliseconds requestTimeout{5000};
    // For the answer to leave, from its first byte.
    std::chrono::milliseconds writeTimeout{10000};
    // Connections held at once; past it the one that has waited longest for its request is
    // closed to make room, or the new one when every request has arrived.
    std::size_t maxConnections = 512;
    std::size_t mostRequestBytes = 64 * 1024;
};

// Plain HTTP, or HTTPS when the configuration names a certificate; with users, every request
// needs one of their passwords (401 without). Throws base::Error when the certificate, the key
// or the client CA cannot be used, naming the file and OpenSSL's reason.
std::unique_ptr<httplib::Server> NewServer(const WebLimits& limits, const WebConfig& config);

}  // namespace exporter
