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
#include "exporter/http_server.h"
#include "exporter/metrics.h"
#include "exporter/prober.h"

namespace {

using exporter::Clock;

struct Options {
    std::string listen = "127.0.0.1:9871";
    std::vector<std::string> allow;
    std::string desired;
    std::vector<int> devicePorts = {4000};  // the first when a probe names none
    std::string webConfig;
    double requestTimeout = 5.0;
    int maxConnections = 512;
    double replyTimeout = 1.0;
    int retries = 2;
    int parallel = 64;
    int maxConcurrent = 256;
    double timeout = 10.0;
    double timeoutOffset = 0.5;
    std::string lockDir = "/run/lock";
};

// Devices are seldom asked on more than one port; every port keeps a thread.
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
        for (int port : o.devicePorts) {
            ports_.push_back(std::uint16_t(port));
            if (!probers_.contains(port)) probers_.emplace(port, NewProber(std::uint16_t(port)));
        }
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
        std::uint16_t port = ports_.front();
        if (error.empty() && req.has_param("port"))
            error = exporter::PortError(req.get_param_value("port"), ports_, port);
        const auto desired = Desired();
        if (error.empty() && !allow_.Contains(target) && !desired->contains(target)) {
            error = "target " + device::FormatDotted(target) +
                    " is outside --allow and not named in --desired";
        }
        exporter::Prober* prober = error.empty() ? probers_.at(port).get() : nullptr;
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
        std::string scrapeTimeout;
        if (req.has_header("X-Prometheus-Scrape-Timeout-Seconds"))
            scrapeTimeout = req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds");
        const exporter::ProbeResult r = prober->Probe(
            target,
            start + exporter::ProbeBudget(o_.timeout, o_.timeoutOffset,
                                          scrapeTimeout.empty() ? nullptr : &scrapeTimeout));
        self_.Count(r.failure);
        const auto it = desired->find(target);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        res.set_content(
            exporter::ProbeText(r, seconds, it == desired->end() ? nullptr : &it->second),
            kTextFormat);
    }

    void Metrics(const httplib::Request&, httplib::Response& res) {
        exporter::ProberStats total;
        for (const auto& [port, prober] : probers_) {
            const exporter::ProberStats s = prober->Stats();
            total.portWaitSeconds += s.portWaitSeconds;
            total.holdSeconds += s.holdSeconds;
            total.holds += s.holds;
        }
        res.set_content(self_.Text(ORVAN_VERSION, total, Desired()->size()), kTextFormat);
    }

    // The desired file read again (SIGHUP); a file that no longer reads keeps the last one.
    void Reload() {
        if (o_.desired.empty()) return;
        try {
            std::vector<std::string> notes;
            auto fresh = std::make_shared<const exporter::DesiredMap>(
                exporter::LoadDesired(o_.desired, std::uint16_t(o_.devicePorts.front()), &notes));
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

    const Options o_;
    const exporter::AllowList allow_;
    std::shared_ptr<const exporter::DesiredMap> desired_;  // under the mutex
    exporter::SelfMetrics self_;
    std::mutex mutex_;
    std::vector<std::uint16_t> ports_;                          // the first by default
    std::map<int, std::unique_ptr<exporter::Prober>> probers_;  // one a port, made at start
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
        desired = exporter::LoadDesired(o.desired, std::uint16_t(o.devicePorts.front()), &notes);
        Exporter::Say(notes);
    }
    const exporter::WebConfig web =
        o.webConfig.empty() ? exporter::WebConfig{} : exporter::LoadWebConfig(o.webConfig);
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

    exporter::WebLimits limits;
    limits.requestTimeout = std::chrono::milliseconds(long(o.requestTimeout * 1000 + 0.5));
    limits.maxConnections = std::size_t(o.maxConnections);
    std::unique_ptr<httplib::Server> made;
    try {
        made = exporter::NewServer(limits, web);
    } catch (const base::Error& e) {
        throw base::Error(o.webConfig + ": " + e.what());
    }
    httplib::Server& server = *made;
    Exporter exporter(o, std::move(allow), std::move(desired));
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
    std::cerr << "orvan-exporter " << ORVAN_VERSION << ": listening on " << o.listen
              << (web.Tls() ? " (HTTPS)" : "") << std::endl;
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
    app.add_option("--device-port", o.devicePorts,
                   "a device port probes may name with &port=; the first is the one when a probe "
                   "names none (default 4000; up to 8, each given with --device-port)")
        ->type_name("PORT")
        ->expected(1)
        ->take_all()
        ->check(CLI::Range(1, 65535).description(""));
    app.add_option("--web.config.file", o.webConfig,
                   "TLS and basic authentication, in the web configuration format of "
                   "Prometheus exporters")
        ->type_name("FILE");
    app.add_option("--web.request-timeout", o.requestTimeout,
                   "seconds a client may take to send its request, TLS handshake included, "
                   "0.1 to 60 (default 5)")
        ->type_name("SEC")
        ->check(CLI::Range(0.1, 60.0).description(""));
    app.add_option("--web.max-connections", o.maxConnections,
                   "HTTP connections held at once, 8 to 4096 (default 512)")
        ->type_name("N")
        ->check(CLI::Range(8, 4096).description(""));
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
        if (o.devicePorts.size() > kMostDevicePorts) {
            throw base::Error("--device-port given " + std::to_string(o.devicePorts.size()) +
                              " times; at most " + std::to_string(kMostDevicePorts));
        }
        // A client gone while its answer is written is that write's error, not the end.
        std::signal(SIGPIPE, SIG_IGN);
        return Serve(o);
    } catch (const std::exception& e) {
        std::cerr << "orvan-exporter: " << e.what() << std::endl;
        return 2;
    }
}
