#pragma once

#include <arpa/inet.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/env.h"
#include "base/error.h"
#include "net/async_lookup.h"

namespace testing_support {

// A host and desktop that tests drive: boxes, beeps and pauses are recorded in order
// instead of blocking, and the host's name, addresses, name server and clock are whatever the
// test says.
class FakeEnv : public app::Env {
public:
    struct Box {
        app::BoxKind kind;
        std::string caption, text;
    };

    std::vector<Box> boxes;
    std::vector<std::string> events;  // "box", "beep", "pause 500" in the order they happened
    // Runs before each event is recorded, so that a test can log in between what reached a
    // peer, and see sends, pauses and beeps in one order.
    std::function<void()> beforeEvent;
    int beeps = 0;
    int hostNameCalls = 0;

    std::string hostName = "testhost";
    base::LocalDateTime now{2026, 12, 6, 13, 22, 45, 7};
    std::optional<std::string> historyDirectory;  // nullopt: no history file is written

    // The name server. A lookup of `hostName` answers with `addresses` (nullopt: it fails as
    // an unknown name would, 11001), as they are when the lookup is asked for: a test changes
    // them between lookups without racing the workers. Every other name goes to `resolver`,
    // on a worker: unknown by default.
    std::optional<std::vector<std::string>> addresses = std::vector<std::string>{"127.0.0.1"};
    net::Resolver resolver = [](const std::string&) { return net::LookupResult{11001, {}}; };
    // The addresses of the interfaces that are up; nullopt: the host cannot list them.
    std::optional<std::vector<std::string>> interfaces;
    // While set, lookups of `hostName` asked for wait at the name server, as with one that does
    // not answer, until ReleaseLookups.
    bool holdLookups = false;

    void ShowMessage(app::BoxKind kind, const std::string& caption,
                     const std::string& text) override {
        if (beforeEvent) beforeEvent();
        boxes.push_back({kind, caption, text});
        events.push_back("box");
    }
    void Beep() override {
        if (beforeEvent) beforeEvent();
        ++beeps;
        events.push_back("beep");
    }
    void Pause(int milliseconds) override {
        if (beforeEvent) beforeEvent();
        events.push_back("pause " + std::to_string(milliseconds));
    }
    base::LocalDateTime LocalTime() override { return now; }
    std::string LocalHostName() override {
        ++hostNameCalls;
        return hostName;
    }
    std::optional<std::string> HistoryFilePath(const std::string& name) override {
        if (!historyDirectory) return std::nullopt;
        return *historyDirectory + "/" + name;
    }

    std::optional<std::vector<in_addr>> UpInterfaceAddresses() override {
        if (!interfaces) return std::nullopt;
        return Parsed(*interfaces);
    }

    net::AsyncLookup& Lookup() override {
        {
            const std::lock_guard lock(server_->mutex);
            server_->hostName = hostName;
            server_->answer = Answer();
            server_->hold = holdLookups;
            server_->other = resolver;
        }
        if (!lookup_) {
            lookup_.reset(new net::AsyncLookup(
                [server = server_](const std::string& host) { return server->Resolve(host); }));
        }
        return *lookup_;
    }

    // Lookups of `hostName` that have reached the name server, those that it has answered,
    // and those waiting there.
    int OwnNameLookups() const {
        const std::lock_guard lock(server_->mutex);
        return server_->lookups;
    }
    int AnsweredLookups() const {
        const std::lock_guard lock(server_->mutex);
        return server_->answered;
    }
    int HeldLookups() const {
        const std::lock_guard lock(server_->mutex);
        return server_->held;
    }
    // The waiting lookups answer with `addresses` as it is now.
    void ReleaseLookups() {
        const std::lock_guard lock(server_->mutex);
        server_->answer = Answer();
        ++server_->releases;
        server_->wake.notify_all();
    }

private:
    // What the lookup workers share with the test.
    struct Server {
        std::mutex mutex;
        std::condition_variable wake;
        std::string hostName;
        net::LookupResult answer;
        net::Resolver other;
        bool hold = false;
        bool closed = false;  // the lookups are gone: nothing waits any more
        int releases = 0;
        int lookups = 0;
        int answered = 0;
        int held = 0;

        net::LookupResult Resolve(const std::string& host) {
            std::unique_lock lock(mutex);
            if (host != hostName) {
                const net::Resolver resolve = other;
                lock.unlock();
                return resolve(host);
            }
            ++lookups;
            if (hold && !closed) {
                const int release = releases;
                ++held;
                wake.wait(lock, [&] { return releases != release || closed; });
                --held;
            }
            ++answered;
            return answer;
        }
    };
    // Ends the lookups, then lets go of a worker that still waits, so that none is left behind.
    struct CloseLookup {
        std::shared_ptr<Server> server;
        void operator()(net::AsyncLookup* lookup) const {
            delete lookup;
            const std::lock_guard lock(server->mutex);
            server->closed = true;
            server->wake.notify_all();
        }
    };

    net::LookupResult Answer() const {
        net::LookupResult result;
        if (!addresses) {
            result.error = 11001;
            return result;
        }
        result.addresses = Parsed(*addresses);
        return result;
    }
    static std::vector<in_addr> Parsed(const std::vector<std::string>& dotted) {
        std::vector<in_addr> parsed;
        for (const std::string& a : dotted) {
            in_addr address{};
            inet_pton(AF_INET, a.c_str(), &address);
            parsed.push_back(address);
        }
        return parsed;
    }

    std::shared_ptr<Server> server_ = std::make_shared<Server>();
    std::unique_ptr<net::AsyncLookup, CloseLookup> lookup_{nullptr, CloseLookup{server_}};
};

}  // namespace testing_support
