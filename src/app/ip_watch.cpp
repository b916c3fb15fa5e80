#include "app/ip_watch.h"

#include <arpa/inet.h>

#include <algorithm>

#include "app/ip_history.h"

namespace app {

bool IsOnlineAddress(std::string_view address) {
    return !address.empty() && address != "127.0.0.1";
}

std::vector<std::string> DottedAddresses(const std::vector<in_addr>& addresses) {
    std::vector<std::string> dotted;
    dotted.reserve(addresses.size());
    for (const in_addr& address : addresses) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        dotted.emplace_back(text);
    }
    return dotted;
}

TIdIPWatch::TIdIPWatch(Env& env, QObject* parent)
    : QObject(parent), env_(env), hostName_(env.LocalHostName()) {
    connect(&timer_, &QTimer::timeout, this, &TIdIPWatch::Check);
}

void TIdIPWatch::SetActive(bool active) {
    if (active == Active()) return;
    if (active) {
        timer_.start(std::clamp(WatchInterval, 1, kSliceMs));
        return;
    }
    timer_.stop();
    busy_ = false;
    lookup_.Cancel();
}

void TIdIPWatch::Check() {
    if (!Active()) return;
    try {
        hostName_ = env_.LocalHostName();
        if (OnHostName) OnHostName(hostName_);
        if (busy_) return;
        lookup_ = env_.LookupOwnAddresses(
            hostName_, [this](const net::LookupResult& result) { Answered(result); });
        busy_ = true;
    } catch (...) {
        // Out of memory for the name: the next check tries again.
    }
}

void TIdIPWatch::Answered(const net::LookupResult& result) noexcept {
    busy_ = false;
    lookup_ = {};
    if (result.error == 0 && !result.addresses.empty()) {
        try {
            const bool wasOnline = online_;
            const std::string last = current_;
            current_ = DottedAddresses({result.addresses.front()}).front();
            online_ = IsOnlineAddress(current_);
            if (wasOnline && !online_) {
                AddToHistory(history_, last, static_cast<std::size_t>(MaxHistoryEntries));
            }
        } catch (...) {
            // Out of memory for a line of history: the check is lost, the watcher goes on.
        }
    }
    if (OnLookupDone) OnLookupDone(result);
}

void TIdIPWatch::Shutdown() {
    if (online_) AddToHistory(history_, current_, static_cast<std::size_t>(MaxHistoryEntries));
    SetActive(false);
    if (!HistoryEnabled) return;
    if (const std::optional<std::string> path = env_.HistoryFilePath(HistoryFilename)) {
        ReplaceFile(*path, HistoryFileBytes(history_));
    }
}

}  // namespace app
