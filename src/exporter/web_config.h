#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The web configuration file every Prometheus exporter reads (--web.config.file): TLS and
// basic authentication for the exporter's own HTTP side.
namespace exporter {

struct WebConfig {
    // TLS when both files are named; relative names are taken from the file's own folder.
    std::string certFile, keyFile;
    std::string clientAuthType = "NoClientCert";
    std::string clientCaFile;
    std::string minVersion = "TLS12", maxVersion = "TLS13";
    // Users and their bcrypt hashes; none: no password asked.
    std::map<std::string, std::string> users;
    std::vector<std::pair<std::string, std::string>> headers;  // added to every answer

    bool Tls() const { return !certFile.empty(); }
};

// Reads the file; throws base::Error naming it and what is wrong (a key it does not know, a
// value of the wrong kind, a hash that is no bcrypt hash, a certificate without its key).
WebConfig LoadWebConfig(const std::string& path);
WebConfig ParseWebConfig(std::string_view yaml, const std::string& path);

// Checks a request's "Authorization: Basic ..." against the users. A password that matched is
// remembered (bcrypt takes tens of milliseconds a check), a bounded number of them.
class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}

    bool Required() const { return !users_.empty(); }
    // `authorization`: the header's value, null when the request has none.
    bool Allows(const std::string* authorization);

private:
    static constexpr std::size_t kMostRemembered = 64;
    const std::map<std::string, std::string> users_;
    std::mutex mutex_;
    std::map<std::string, std::string> remembered_;  // user -> password that matched
};

}  // namespace exporter
