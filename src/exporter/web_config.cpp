#include "exporter/web_config.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/error.h"
#include "formats/backup_file.h"
#include "formats/text.h"

namespace exporter {

namespace {

// Unknown users are checked against this hash too, so that an answer takes as long for a
// name that exists as for one that does not.
constexpr const char* kNoUser = "$2b$10$wsNbzIzDNXqlLHA6PpdwN.pZhwGZ.o5b273dqVZpIhrBDhi2UFVmS";

const std::vector<std::string> kVersions = {"TLS10", "TLS11", "TLS12", "TLS13"};
const std::vector<std::string> kClientAuth = {"NoClientCert", "VerifyClientCertIfGiven",
                                              "RequireAndVerifyClientCert"};
// Documented for the format, not served here: refused by name rather than ignored.
const std::vector<std::string> kNotServed = {
    "cert",      "key", "client_ca", "client_allowed_sans", "cipher_suites", "curve_preferences",
    "rate_limit"};

class Reader {
public:
    explicit Reader(const std::string& path) : path_(path) {}

    [[noreturn]] void Fail(const YAML::Node& at, const std::string& what) const {
        const YAML::Mark m = at.Mark();
        std::string where = path_;
        if (m.line >= 0) where += ":" + std::to_string(m.line + 1);
        throw base::Error(where + ": " + what);
    }

    // The keys of a mapping, each one of `known`.
    void Keys(const YAML::Node& map, const std::string& what,
              const std::vector<std::string>& known) const {
        if (!map.IsMap()) Fail(map, what + " is not a mapping");
        for (const auto& kv : map) {
            const std::string key = Text(kv.first, "a key of " + what);
            if (std::find(kNotServed.begin(), kNotServed.end(), key) != kNotServed.end())
                Fail(kv.first, what + ": '" + key + "' is not supported by orvan-exporter");
            if (std::find(known.begin(), known.end(), key) == known.end())
                Fail(kv.first, what + ": unknown key '" + formats::Printable(key) + "'");
        }
    }

    std::string Text(const YAML::Node& n, const std::string& what) const {
        if (!n.IsScalar()) Fail(n, what + " is not a text");
        return n.Scalar();
    }

    std::string OneOf(const YAML::Node& n, const std::string& what,
                      const std::vector<std::string>& allowed) const {
        const std::string v = Text(n, what);
        if (std::find(allowed.begin(), allowed.end(), v) != allowed.end()) return v;
        std::string list;
        for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
        Fail(n, what + " '" + formats::Printable(v) + "' is not one of " + list);
    }

    bool Boolean(const YAML::Node& n, const std::string& what) const {
        const std::string v = Text(n, what);
        if (v == "true") return true;
        if (v == "false") return false;
        Fail(n, what + " is not true or false");
    }

    // A file name relative to the configuration's folder.
    std::string File(const YAML::Node& n, const std::string& what) const {
        const std::string v = Text(n, what);
        if (v.empty() || v.front() == '/') return v;
        return (std::filesystem::path(path_).parent_path() / v).string();
    }

private:
    const std::string& path_;
};

}  // namespace

WebConfig ParseWebConfig(std::string_view yaml, const std::string& path) {
    WebConfig c;
    const Reader r(path);
    YAML::Node root;
    try {
        root = YAML::Load(std::string(yaml));
    } catch (const YAML::Exception& e) {
        throw base::Error(path + ":" + std::to_string(e.mark.line + 1) + ": not YAML: " + e.msg);
    }
    if (root.IsNull()) return c;  // an empty file: plain HTTP, no passwords
    r.Keys(root, "the file", {"tls_server_config", "http_server_config", "basic_auth_users"});
    if (const YAML::Node tls = root["tls_server_config"]; tls && !tls.IsNull()) {
        r.Keys(tls, "tls_server_config",
               {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version",
                "max_version", "prefer_server_cipher_suites"});
        if (tls["cert_file"]) c.certFile = r.File(tls["cert_file"], "cert_file");
        if (tls["key_file"]) c.keyFile = r.File(tls["key_file"], "key_file");
        if (tls["client_auth_type"])
            c.clientAuthType = r.OneOf(tls["client_auth_type"], "client_auth_type", kClientAuth);
        if (tls["client_ca_file"]) c.clientCaFile = r.File(tls["client_ca_file"], "client_ca_file");
        if (tls["min_version"])
            c.minVersion = r.OneOf(tls["min_version"], "min_version", kVersions);
        if (tls["max_version"])
            c.maxVersion = r.OneOf(tls["max_version"], "max_version", kVersions);
        if (tls["prefer_server_cipher_suites"])
            r.Boolean(tls["prefer_server_cipher_suites"], "prefer_server_cipher_suites");
        if (c.certFile.empty() != c.keyFile.empty())
            r.Fail(tls, c.certFile.empty() ? "key_file without cert_file"
                                           : "cert_file without key_file");
        if (c.certFile.empty() && c.keyFile.empty())
            r.Fail(tls, "tls_server_config without cert_file and key_file");
        if (std::find(kVersions.begin(), kVersions.end(), c.minVersion) >
            std::find(kVersions.begin(), kVersions.end(), c.maxVersion))
            r.Fail(tls, "min_version is above max_version");
        if (c.clientAuthType != "NoClientCert" && c.clientCaFile.empty())
            r.Fail(tls, "client_auth_type " + c.clientAuthType + " without client_ca_file");
    }
    if (const YAML::Node http = root["http_server_config"]; http && !http.IsNull()) {
        r.Keys(http, "http_server_config", {"http2", "headers"});
        if (http["http2"]) r.Boolean(http["http2"], "http2");
        if (const YAML::Node h = http["headers"]; h && !h.IsNull()) {
            const std::vector<std::string> names = {"Content-Security-Policy", "X-Frame-Options",
                                                    "X-Content-Type-Options", "X-XSS-Protection",
                                                    "Strict-Transport-Security"};
            r.Keys(h, "headers", names);
            for (const auto& kv : h) {
                const std::string v = r.Text(kv.second, kv.first.Scalar());
                if (v.find_first_of("\r\n") != std::string::npos)
                    r.Fail(kv.second, kv.first.Scalar() + " holds a line break");
                if (!v.empty()) c.headers.emplace_back(kv.first.Scalar(), v);
            }
        }
    }
    if (const YAML::Node users = root["basic_auth_users"]; users && !users.IsNull()) {
        if (!users.IsMap()) r.Fail(users, "basic_auth_users is not a mapping");
        for (const auto& kv : users) {
            const std::string name = r.Text(kv.first, "a user name");
            const std::string hash = r.Text(kv.second, "the hash of " + formats::Printable(name));
            if (name.find(':') != std::string::npos)
                r.Fail(kv.first, "user name '" + formats::Printable(name) + "' holds ':'");
            const bool bcrypt = hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
                                (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') &&
                                hash[3] == '$';
            if (!bcrypt)
                r.Fail(kv.second, "the password of " + formats::Printable(name) +
                                      " is not a bcrypt hash ($2y$10$ and 53 more characters)");
            c.users[name] = hash;
        }
    }
    return c;
}

WebConfig LoadWebConfig(const std::string& path) {
    return ParseWebConfig(formats::ReadRegular(path), path);
}

bool BasicAuth::Allows(const std::string* authorization) {
    if (!Required()) return true;
    if (authorization == nullptr || authorization->size() < 6 || authorization->size() > 4096)
        return false;
    if (strncasecmp(authorization->c_str(), "Basic ", 6) != 0) return false;
    std::string coded = authorization->substr(6);
    coded.erase(0, coded.find_first_not_of(' '));
    if (coded.empty() || coded.size() % 4 != 0) return false;
    std::string plain(coded.size() / 4 * 3, '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(plain.data()),
                        reinterpret_cast<const unsigned char*>(coded.data()), int(coded.size()));
    if (n < 0) return false;
    // The decoder counts the padding as bytes.
    const std::size_t pad = std::size_t(std::count(coded.end() - 2, coded.end(), '='));
    plain.resize(std::size_t(n) - pad);
    const auto colon = plain.find(':');
    if (colon == std::string::npos) return false;
    const std::string user = plain.substr(0, colon), password = plain.substr(colon + 1);
    const auto it = users_.find(user);
    {
        std::lock_guard lock(mutex_);
        if (const auto r = remembered_.find(user);
            r != remembered_.end() && r->second.size() == password.size() &&
            CRYPTO_memcmp(r->second.data(), password.data(), password.size()) == 0)
            return true;
    }
    const std::string hash = it == users_.end() ? kNoUser : it->second;
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    const bool same = out != nullptr && std::strlen(out) == hash.size() &&
                      CRYPTO_memcmp(out, hash.data(), hash.size()) == 0;
    if (!same || it == users_.end()) return false;
    std::lock_guard lock(mutex_);
    if (remembered_.size() >= kMostRemembered) remembered_.clear();
    remembered_[user] = password;
    return true;
}

}  // namespace exporter
