#include "exporter/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/error.h"

namespace exporter {

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    int fd = -1;
};

// Set on the thread that serves a connection, for the hooks cpp-httplib calls on it.
thread_local Connection* tCurrent = nullptr;
// The accept thread closes a connection it cannot hold without serving it.
thread_local bool tRefuse = false;

// cpp-httplib's task queue, one thread a connection held: a connection waiting for its request
// is bounded in time by its stream, and in number here.
class Connections : public httplib::TaskQueue {
public:
    explicit Connections(std::size_t most) : most_(most) {}

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        if (stop_ || (held_ >= most_ && !CloseOldestReader())) {
            lock.unlock();
            tRefuse = true;
            fn();
            tRefuse = false;
            return;
        }
        ++held_;
        jobs_.push_back(std::move(fn));
        // Closed readers end at once; a few threads more than the bound cover them.
        if (held_ > threads_.size() && threads_.size() < most_ + kSpare)
            threads_.emplace_back([this] { Work(); });
        wake_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            for (Connection* c : readers_) ::shutdown(c->fd, SHUT_RDWR);
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }

    void Begin(Connection& c) {
        std::lock_guard lock(mutex_);
        readers_.push_back(&c);
    }
    // The request has arrived: the connection is no longer one to close for room.
    void Arrived(Connection& c) {
        std::lock_guard lock(mutex_);
        std::erase(readers_, &c);
    }
    void End(Connection& c) { Arrived(c); }

private:
    static constexpr std::size_t kSpare = 16;

    bool CloseOldestReader() {
        if (readers_.empty()) return false;
        ::shutdown(readers_.front()->fd, SHUT_RDWR);
        readers_.pop_front();
        return true;
    }

    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            auto fn = std::move(jobs_.front());
            jobs_.pop_front();
            const bool stopping = stop_;
            lock.unlock();
            tRefuse = stopping;
            fn();
            tRefuse = false;
            fn = nullptr;
            lock.lock();
            --held_;
        }
    }

    const std::size_t most_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::deque<Connection*> readers_;  // oldest first
    std::vector<std::thread> threads_;
    std::size_t held_ = 0;
    bool stop_ = false;
};

// Waits until the socket is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, int(std::min<long long>(left.count(), 60000)));
        if (r > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (r < 0 && errno != EINTR) return false;
    }
}

// One TLS step (accept, read, write) on a non-blocking socket, waited for until the deadline.
template <typename Step>
int TlsStep(SSL* ssl, int fd, Clock::time_point deadline, Step step) {
    for (;;) {
        const int r = step();
        if (r > 0) return r;
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        short events = 0;
        if (e == SSL_ERROR_WANT_READ) events = POLLIN;
        if (e == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        if (events == 0 || !WaitFor(fd, events, deadline)) return -1;
    }
}

std::string Address(const sockaddr_storage& a, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(a);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& in = reinterpret_cast<const sockaddr_in6&>(a);
        ::inet_ntop(AF_INET6, &in.sin6_addr, text, sizeof text);
        port = ntohs(in.sin6_port);
    }
    return text;
}

// A connection as cpp-httplib reads and writes it: every read ends by the request's deadline,
// no more than the request's bytes are read, and the answer leaves by its own deadline.
class BoundedStream : public httplib::Stream {
public:
    BoundedStream(int fd, SSL* ssl, Clock::time_point readDeadline, const WebLimits& limits)
        : fd_(fd), ssl_(ssl), readDeadline_(readDeadline), limits_(limits) {}

    bool is_readable() const override {
        return pos_ < buffer_.size() || (ssl_ && SSL_pending(ssl_) > 0) ||
               WaitFor(fd_, POLLIN, readDeadline_);
    }
    bool is_writable() const override { return WaitFor(fd_, POLLOUT, WriteDeadline()); }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == buffer_.size() && !Fill()) return -1;
        if (pos_ == buffer_.size()) return 0;
        const std::size_t n = std::min(size, buffer_.size() - pos_);
        std::memcpy(ptr, buffer_.data() + pos_, n);
        pos_ += n;
        return ssize_t(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        const auto deadline = WriteDeadline();
        const int chunk = int(std::min<std::size_t>(size, 1 << 20));
        if (ssl_) {
            const int r = TlsStep(ssl_, fd_, deadline, [&] { return SSL_write(ssl_, ptr, chunk); });
            return r > 0 ? r : -1;
        }
        for (;;) {
            const ssize_t r = ::send(fd_, ptr, std::size_t(chunk), MSG_NOSIGNAL);
            if (r >= 0) return r;
            if ((errno != EAGAIN && errno != EINTR) || !WaitFor(fd_, POLLOUT, deadline)) return -1;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t n = sizeof a;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &n) == 0) ip = Address(a, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t n = sizeof a;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n) == 0) ip = Address(a, port);
    }
    socket_t socket() const override { return fd_; }

private:
    // False on an error, a deadline passed or too many bytes; true with nothing added at the end.
    bool Fill() {
        if (read_ >= limits_.mostRequestBytes) return false;
        buffer_.resize(std::min<std::size_t>(4096, limits_.mostRequestBytes - read_));
        pos_ = 0;
        ssize_t r = 0;
        if (ssl_) {
            r = TlsStep(ssl_, fd_, readDeadline_,
                        [&] { return SSL_read(ssl_, buffer_.data(), int(buffer_.size())); });
        } else {
            for (;;) {
                r = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
                if (r >= 0) break;
                if ((errno != EAGAIN && errno != EINTR) || !WaitFor(fd_, POLLIN, readDeadline_))
                    break;
            }
        }
        buffer_.resize(r > 0 ? std::size_t(r) : 0);
        read_ += buffer_.size();
        return r >= 0;
    }

    Clock::time_point WriteDeadline() const {
        if (!writeStart_) writeStart_ = Clock::now();
        return *writeStart_ + limits_.writeTimeout;
    }

    const int fd_;
    SSL* const ssl_;
    const Clock::time_point readDeadline_;
    const WebLimits& limits_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t read_ = 0;
    mutable std::optional<Clock::time_point> writeStart_;
};

std::string OpenSslReason() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "unknown reason";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

int TlsVersion(const std::string& name) {
    if (name == "TLS10") return TLS1_VERSION;
    if (name == "TLS11") return TLS1_1_VERSION;
    if (name == "TLS12") return TLS1_2_VERSION;
    return TLS1_3_VERSION;
}

template <typename Base>
class BoundedServer : public Base {
public:
    template <typename... Args>
    BoundedServer(const WebLimits& limits, const WebConfig& config, Args&&... args)
        : Base(std::forward<Args>(args)...), limits_(limits), auth_(config.users) {
        this->new_task_queue = [this] {
            connections_ = new Connections(limits_.maxConnections);
            return connections_;
        };
        httplib::Headers headers;
        for (const auto& [name, value] : config.headers) headers.emplace(name, value);
        this->set_default_headers(headers);
        this->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (tCurrent != nullptr && connections_ != nullptr) connections_->Arrived(*tCurrent);
            const std::string* given = nullptr;
            std::string value;
            if (req.has_header("Authorization")) {
                value = req.get_header_value("Authorization");
                given = &value;
            }
            if (auth_.Allows(given)) return httplib::Server::HandlerResponse::Unhandled;
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic");
            res.set_content("Unauthorized\n", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        });
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        if (!tRefuse && connections_ != nullptr) Serve(sock);
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
    }

    void Serve(int sock) {
        const auto deadline = Clock::now() + limits_.requestTimeout;
        Connection c{sock};
        connections_->Begin(c);
        ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
        SSL* ssl = nullptr;
        bool ready = true;
        if constexpr (std::is_base_of_v<httplib::SSLServer, Base>) {
            ssl = SSL_new(this->ssl_context());
            ready = ssl != nullptr && SSL_set_fd(ssl, sock) == 1 &&
                    TlsStep(ssl, sock, deadline, [&] { return SSL_accept(ssl); }) > 0;
        }
        if (ready) {
            BoundedStream stream(sock, ssl, deadline, limits_);
            tCurrent = &c;
            bool closed = false;
            this->process_request(stream, true, closed,
                                  [ssl](httplib::Request& req) { req.ssl = ssl; });
            tCurrent = nullptr;
            if (ssl) SSL_shutdown(ssl);  // once, without waiting for the client's
        }
        if (ssl) SSL_free(ssl);
        ERR_clear_error();
        connections_->End(c);
    }

    const WebLimits limits_;
    BasicAuth auth_;
    Connections* connections_ = nullptr;  // owned by the listening loop
};

}  // namespace

std::unique_ptr<httplib::Server> NewServer(const WebLimits& limits, const WebConfig& config) {
    if (!config.Tls()) return std::make_unique<BoundedServer<httplib::Server>>(limits, config);
    std::string error;
    auto setup = [&](SSL_CTX& ctx) {
        ERR_clear_error();
        SSL_CTX_set_options(&ctx, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_min_proto_version(&ctx, TlsVersion(config.minVersion));
        SSL_CTX_set_max_proto_version(&ctx, TlsVersion(config.maxVersion));
        if (SSL_CTX_use_certificate_chain_file(&ctx, config.certFile.c_str()) != 1) {
            error = "cert_file " + config.certFile + ": " + OpenSslReason();
            return false;
        }
        if (SSL_CTX_use_PrivateKey_file(&ctx, config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            error = "key_file " + config.keyFile + ": " + OpenSslReason();
            return false;
        }
        if (SSL_CTX_check_private_key(&ctx) != 1) {
            error = "key_file " + config.keyFile + " is not the key of " + config.certFile;
            return false;
        }
        if (config.clientAuthType != "NoClientCert") {
            if (SSL_CTX_load_verify_locations(&ctx, config.clientCaFile.c_str(), nullptr) != 1) {
                error = "client_ca_file " + config.clientCaFile + ": " + OpenSslReason();
                return false;
            }
            int mode = SSL_VERIFY_PEER;
            if (config.clientAuthType == "RequireAndVerifyClientCert")
                mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
            SSL_CTX_set_verify(&ctx, mode, nullptr);
        }
        return true;
    };
    auto server = std::make_unique<BoundedServer<httplib::SSLServer>>(
        limits, config, std::function<bool(SSL_CTX&)>(setup));
    if (!server->is_valid())
        throw base::Error(error.empty() ? "cannot set up TLS: " + OpenSslReason() : error);
    return server;
}

}  // namespace exporter
