#pragma once

#include <QObject>
#include <QTimer>
#include <optional>
#include <string>
#include <vector>

#include "app/env.h"

namespace app {

// Follows the host's first local address while active, keeps the addresses of the online
// periods that have ended, and writes them to the history file at shutdown. Checks run on
// the interface thread; the lookup of each runs away from it, one at a time.
class TIdIPWatch : public QObject {
    Q_OBJECT

public:
    explicit TIdIPWatch(Env& env, QObject* parent = nullptr);

    std::string HistoryFilename = "iphist.dat";
    bool HistoryEnabled = true;
    int MaxHistoryEntries = 25;
    int WatchInterval = 1000;  // checked after every slice of at most 500 ms of it

    bool Active() const { return timer_.isActive(); }
    // Deactivation abandons a lookup in flight: its result is ignored.
    void SetActive(bool active);

    // One check, as the timer makes it: does nothing while a lookup is in flight or when
    // inactive.
    void Check();

    // Adds the online address to the history, stops, and writes the history file. Throws
    // base::Error when the file cannot be created.
    void Shutdown();

    const std::string& CurrentIP() const { return current_; }
    bool IsOnline() const { return online_; }
    bool LookupBusy() const { return busy_; }
    const std::vector<std::string>& IPHistory() const { return history_; }

private:
    void Apply(unsigned lookup, const std::optional<std::string>& address) noexcept;

    Env& env_;
    QTimer timer_;
    std::string current_;
    bool online_ = false;
    bool busy_ = false;
    unsigned lookup_ = 0;  // the lookup whose result still counts
    std::vector<std::string> history_;
};

}  // namespace app
