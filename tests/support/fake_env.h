#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/env.h"
#include "base/error.h"
#include "net/async_lookup.h"

namespace testing_support {

// A host and desktop that tests drive: boxes, beeps and pauses are recorded in order
// instead of blocking, and the host's name, addresses and clock are whatever the test says.
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

    std::string hostName = "testhost";
    // nullopt: the resolution fails as an unknown name would.
    std::optional<std::vector<std::string>> addresses = std::vector<std::string>{"127.0.0.1"};
    base::LocalDateTime now{2026, 12, 6, 13, 22, 45, 7};
    // The address query answers at once from `addresses`, unless held for the test to answer.
    bool holdAddressQueries = false;
    std::vector<AddressDone> heldAddressQueries;
    int addressQueries = 0;
    std::optional<std::string> historyDirectory;  // nullopt: no history file is written
    // What the lookups of the window's TCP clients answer; read when the first one starts.
    net::Resolver resolver = [](const std::string&) { return net::LookupResult{11001, {}}; };

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
    std::string LocalHostName() override { return hostName; }
    std::vector<std::string> LocalAddresses() override {
        if (!addresses) throw base::Error("Socket Error # 11001\r\nHost not found.");
        return *addresses;
    }
    void QueryLocalAddress(AddressDone done) override {
        ++addressQueries;
        if (holdAddressQueries) return heldAddressQueries.push_back(std::move(done));
        done(addresses && !addresses->empty() ? std::optional(addresses->front()) : std::nullopt);
    }
    std::optional<std::string> HistoryFilePath(const std::string& name) override {
        if (!historyDirectory) return std::nullopt;
        return *historyDirectory + "/" + name;
    }
    net::AsyncLookup& Lookup() override {
        if (!lookup_) lookup_ = std::make_unique<net::AsyncLookup>(resolver);
        return *lookup_;
    }

private:
    std::unique_ptr<net::AsyncLookup> lookup_;
};

}  // namespace testing_support
