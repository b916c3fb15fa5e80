#include "app/ip_watch.h"

#include <QPointer>
#include <algorithm>

#include "app/ip_history.h"

namespace app {

TIdIPWatch::TIdIPWatch(Env& env, QObject* parent) : QObject(parent), env_(env) {
    connect(&timer_, &QTimer::timeout, this, &TIdIPWatch::Check);
}

void TIdIPWatch::SetActive(bool active) {
    if (active == Active()) return;
    if (active) {
        timer_.start(std::clamp(WatchInterval, 1, 500));
        return;
    }
    timer_.stop();
    busy_ = false;
    ++lookup_;
}

void TIdIPWatch::Check() {
    if (!Active() || busy_) return;
    busy_ = true;
    const unsigned lookup = ++lookup_;
    try {
        env_.QueryLocalAddress(
            [self = QPointer<TIdIPWatch>(this), lookup](std::optional<std::string> address) {
                if (self) self->Apply(lookup, address);
            });
    } catch (...) {
        // No thread to be had: the next check tries again.
        if (lookup == lookup_) busy_ = false;
    }
}

void TIdIPWatch::Apply(unsigned lookup, const std::optional<std::string>& address) noexcept {
    if (lookup != lookup_) return;
    busy_ = false;
    if (!address) return;
    try {
        const bool wasOnline = online_;
        const std::string last = current_;
        current_ = *address;
        online_ = !current_.empty() && current_ != "127.0.0.1";
        if (wasOnline && !online_) {
            AddToHistory(history_, last, static_cast<std::size_t>(MaxHistoryEntries));
        }
    } catch (...) {
        // Out of memory for a line of history: the check is lost, the watcher goes on.
    }
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
