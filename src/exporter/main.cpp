// orvan-exporter: devices read for Prometheus. /probe?target= reads one device with the request
// alone; /metrics tells about the exporter itself.

#include <httplib.h>
#include <pthread.h>
#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/error.h"
#include "base/version.h"
#include "device/port.h"
#include "exporter/allow.h"
#include "exporter/desired.h"
#include "exporter/metrics.h"
#include "exporter/prober.h"

namespace {

using exporter::Clock;

struct Options {
    std::string listen = "127.0.0.1:9871";
    std::vector<std::string> allow;
    std::string desired;
    int devicePort = 4000;
    double replyTimeout = 1.0;
    int retries = 2;
    int parallel = 64;
    int maxConcurrent = 256;
    double timeout = 10.0;
    double timeoutOffset = 0.5;
    std::string lockDir = "/run/lock";
};

// Devices are seldom asked on more than one port; every port asked keeps a thread.
constexpr std::size_t kMostDevicePorts = 8;
constexpr const char* kTextFormat = "text/plain; version=0.0.4; charset=utf-8";

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Exporter {
public:
    Exporter(const Options& o, exporter::AllowList allow, exporter::DesiredMap desired)
        : o_(o),
          allow_(std::move(allow)),
          desired_(std::make_shared<const exporter::DesiredMap>(std::move(desired))) {
        probers_.emplace(o.devicePort, NewProber(std::uint16_t(o.devicePort)));
        self_.Reloaded(true, UnixNow());
    }

    void Probe(const httplib::Request& req, httplib::Response& res) {
        const auto start = Clock::now();
        device::Ipv4 target = 0;
        std::string error;
        if (!req.has_param("target")) {
            error = "no target: /probe?target=A.B.C.D[&port=P]";
        } else {
            error = exporter::TargetError(req.get_param_value("target").substr(0, 64), target);
        }
        int port = o_.devicePort;
        if (error.empty() && req.has_param("port")) {
            const std::string text = req.get_param_value("port");
            char* end = nullptr;
            const long value = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || value < 1 || value > 65535) {
                error = "port '" + text.substr(0, 16) + "' is not a port number (1 to 65535)";
            }
            port = int(value);
        }
        const auto desired = Desired();
        if (error.empty() && !allow_.Contains(target) && !desired->contains(target)) {
            error = "target " + device::FormatDotted(target) +
                    " is outside --allow and not named in --desired";
        }
        exporter::Prober* prober = error.empty() ? ProberFor(std::uint16_t(port), error) : nullptr;
        if (prober == nullptr) {
            self_.Count(exporter::Refusal::kRefused);
            res.status = 400;
            res.set_content(error + "\n", "text/plain; charset=utf-8");
            return;
        }
        if (self_.inFlight.fetch_add(1) >= o_.maxConcurrent) {
            self_.inFlight--;
            self_.Count(exporter::Refusal::kOverloaded);
            res.status = 503;
            res.set_content("more than " + std::to_string(o_.maxConcurrent) +
                                " probes at once (--probe.max-concurrent)\n",
                            "text/plain; charset=utf-8");
            return;
        }
        struct Leave {
            std::atomic<long>& count;
            ~Leave() { count--; }
        } leave{self_.inFlight};
        const exporter::ProbeResult r = prober->Probe(target, start + Budget(req));
        self_.Count(r.failure);
        const auto it = desired->find(target);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        res.set_content(
            exporter::ProbeText(r, seconds, it == desired->end() ? nullptr : &it->second),
            kTextFormat);
    }

    void Metrics(const httplib::Request&, httplib::Response& res) {
        exporter::ProberStats total;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [port, prober] : probers_) {
                const exporter::ProberStats s = prober->Stats();
                total.portWaitSeconds += s.portWaitSeconds;
                total.holdSeconds += s.holdSeconds;
                total.holds += s.holds;
            }
        }
        res.set_content(self_.Text(ORVAN_VERSION, total, Desired()->size()), kTextFormat);
    }

    // The desired file read again (SIGHUP); a file that no longer reads keeps the last one.
    void Reload() {
        if (o_.desired.empty()) return;
        try {
            std::vector<std::string> notes;
            auto fresh = std::make_shared<const exporter::DesiredMap>(
                exporter::LoadDesired(o_.desired, std::uint16_t(o_.devicePort), &notes));
            Say(notes);
            const std::size_t devices = fresh->size();
            {
                std::lock_guard lock(mutex_);
                desired_ = std::move(fresh);
            }
            self_.Reloaded(true, UnixNow());
            std::cerr << "orvan-exporter: " << o_.desired << " read again: " << devices
                      << " devices" << std::endl;
        } catch (const std::exception& e) {
            self_.Reloaded(false, UnixNow());
            std::cerr << "orvan-exporter: " << e.what() << "; the last desired file stays"
                      << std::endl;
        }
    }

    static void Say(const std::vector<std::string>& notes) {
        for (const std::string& note : notes) std::cerr << "orvan-exporter: " << note << std::endl;
    }

private:
    // The scrape's own timeout less the offset that leaves time for the answer to travel.
    Clock::duration Budget(const httplib::Request& req) const {
        double seconds = o_.timeout;
        if (req.has_header("X-Prometheus-Scrape-Timeout-Seconds")) {
            const double given = std::strtod(
                req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds").c_str(), nullptr);
            if (std::isfinite(given) && given > 0) {
                seconds = std::min(
                    seconds, given > 2 * o_.timeoutOffset ? given - o_.timeoutOffset : given / 2);
            }
        }
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    std::unique_ptr<exporter::Prober> NewProber(std::uint16_t port) const {
        exporter::ProberOptions p;
        p.replyTimeout = std::chrono::milliseconds(long(o_.replyTimeout * 1000 + 0.5));
        p.retries = o_.retries;
        p.parallel = std::size_t(o_.parallel);
        p.lockDir = o_.lockDir;
        return std::make_unique<exporter::Prober>(port, p);
    }

    std::shared_ptr<const exporter::DesiredMap> Desired() {
        std::lock_guard lock(mutex_);
        return desired_;
    }

    exporter::Prober* ProberFor(std::uint16_t port, std::string& error) {
        std::lock_guard lock(mutex_);
        if (const auto it = probers_.find(port); it != probers_.end()) return it->second.get();
        if (probers_.size() == kMostDevicePorts) {
            error = "more than " + std::to_string(kMostDevicePorts) + " device ports asked";
            return nullptr;
        }
        return probers_.emplace(port, NewProber(port)).first->second.get();
    }

    const Options o_;
    const exporter::AllowList allow_;
    std::shared_ptr<const exporter::DesiredMap> desired_;  // under the mutex
    exporter::SelfMetrics self_;
    std::mutex mutex_;
    std::map<int, std::unique_ptr<exporter::Prober>> probers_;
};

// Every handler runs inside this guard: an error is the scrape's 500, never the process's end.
httplib::Server::Handler Guarded(
    std::function<void(const httplib::Request&, httplib::Response&)> f) {
    return [f = std::move(f)](const httplib::Request& req, httplib::Response& res) {
        try {
            f(req, res);
        } catch (const std::exception& e) {
            res.status = 500;
            res.set_content(std::string(e.what()) + "\n", "text/plain; charset=utf-8");
        }
    };
}

int Serve(const Options& o) {
    exporter::AllowList allow;
    for (const std::string& range : o.allow) allow.Add(exporter::ParseAllowRange(range));
    exporter::DesiredMap desired;
    if (!o.desired.empty()) {
        std::vector<std::string> notes;
        desired = exporter::LoadDesired(o.desired, std::uint16_t(o.devicePort), &notes);
        Exporter::Say(notes);
    }
    const auto colon = o.listen.rfind(':');
    if (colon == std::string::npos) {
        throw base::Error("--web.listen-address '" + o.listen + "': expected HOST:PORT");
    }
    std::string host = o.listen.substr(0, colon);
    if (host.size() > 1 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "0.0.0.0";
    char* end = nullptr;
    const long listenPort = std::strtol(o.listen.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || listenPort < 1 || listenPort > 65535) {
        throw base::Error("--web.listen-address '" + o.listen + "': not a port after ':'");
    }

    // The signals are waited for on a thread of their own: the server's threads never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Exporter exporter(o, std::move(allow), std::move(desired));
    httplib::Server server;
    const std::size_t threads = std::size_t(o.maxConcurrent) + 4;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // One request a connection: a scraper's idle connection never keeps a thread.
    server.set_keep_alive_max_count(1);
    server.Get("/probe", Guarded([&](const auto& q, auto& r) { exporter.Probe(q, r); }));
    server.Get("/metrics", Guarded([&](const auto& q, auto& r) { exporter.Metrics(q, r); }));
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(
            "<html><head><title>Orvan exporter</title></head><body><h1>Orvan exporter</h1>"
            "<p><a href=\"/metrics\">Metrics</a></p>"
            "<p>Probe a device: <code>/probe?target=A.B.C.D</code></p></body></html>\n",
            "text/html; charset=utf-8");
    });
    int listening = -1;
    server.set_socket_options([&listening](int fd) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        listening = fd;
    });
    if (!server.bind_to_port(host, int(listenPort))) {
        throw base::Error("cannot listen on " + o.listen);
    }
    // The library's backlog of 5 drops the connections of a scrape round that come at once.
    ::listen(listening, SOMAXCONN);
    std::thread waiter([&] {
        for (;;) {
            int signal = 0;
            sigwait(&signals, &signal);
            if (signal == SIGHUP) {
                exporter.Reload();
                continue;
            }
            device::RequestStop();
            server.stop();
            return;
        }
    });
    std::cerr << "orvan-exporter " << ORVAN_VERSION << ": listening on " << o.listen << std::endl;
    if (o.allow.empty() && o.desired.empty()) {
        std::cerr << "orvan-exporter: no --allow and no --desired: every probe is refused"
                  << std::endl;
    }
    const bool served = server.listen_after_bind();
    if (!served) {
        pthread_kill(waiter.native_handle(), SIGTERM);  // a listen that failed ends the waiter
    }
    waiter.join();
    return served ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Reads Orvan devices for Prometheus: /probe?target=A.B.C.D and /metrics",
                 "orvan-exporter");
    Options o;
    if (const char* dir = std::getenv("ORVANCTL_LOCK_DIR")) o.lockDir = dir;
    app.set_version_flag("--version", std::string("orvan-exporter ") + ORVAN_VERSION);
    app.add_option("--web.listen-address", o.listen,
                   "where to answer HTTP (default 127.0.0.1:9871)")
        ->type_name("HOST:PORT");
    app.add_option("--allow", o.allow,
                   "addresses that may be probed: A.B.C.D, A.B.C.D/NN or FIRST-LAST (several)")
        ->type_name("RANGE");
    app.add_option("--desired", o.desired,
                   "the settings the devices should hold: a plan (JSON or CSV), a backup file or "
                   "a folder of backups; the devices it names may be probed too")
        ->type_name("FILE");
    app.add_option("--device-port", o.devicePort,
                   "device port when a probe names none (default 4000)")
        ->type_name("PORT")
        ->check(CLI::Range(1, 65535).description(""));
    app.add_option("--probe.reply-timeout", o.replyTimeout,
                   "seconds to wait for each reply, 0.05 to 60 (default 1)")
        ->type_name("SEC")
        ->check(CLI::Range(0.05, 60.0).description(""));
    app.add_option("--probe.retries", o.retries,
                   "requests sent again after a timeout, 0 to 10 (default 2)")
        ->type_name("N")
        ->check(CLI::Range(0, 10).description(""));
    app.add_option("--probe.parallel", o.parallel,
                   "devices waited for at once on one device port, 1 to 64 (default 64)")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description(""));
    app.add_option("--probe.max-concurrent", o.maxConcurrent,
                   "probe requests served at once, more are answered 503, 1 to 4096 "
                   "(default 256)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096).description(""));
    app.add_option("--probe.timeout", o.timeout,
                   "the longest a probe takes; a scrape's own timeout (less the offset) is kept "
                   "to when shorter, 0.1 to 300 (default 10)")
        ->type_name("SEC")
        ->check(CLI::Range(0.1, 300.0).description(""));
    app.add_option("--timeout-offset", o.timeoutOffset,
                   "seconds taken off a scrape's timeout for the answer, 0 to 10 (default 0.5)")
        ->type_name("SEC")
        ->check(CLI::Range(0.0, 10.0).description(""));
    app.add_option("--lock-dir", o.lockDir,
                   "where orvanctl runs keep the lock files they take turns on (default "
                   "/run/lock)")
        ->type_name("DIR");
    CLI11_PARSE(app, argc, argv);
    try {
        return Serve(o);
    } catch (const std::exception& e) {
        std::cerr << "orvan-exporter: " << e.what() << std::endl;
        return 2;
    }
}
