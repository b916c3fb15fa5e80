#pragma once

#include <netinet/in.h>
#include <QObject>
#include <QTimer>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/env.h"
#include "net/async_lookup.h"

namespace app {

inline constexpr char kHistoryFilename[] = "iphist.dat";

// An address means the host is online unless it is empty or the loopback address, which is
// what the host's name gives when every network adapter is down.
bool IsOnlineAddress(std::string_view address);

// A lookup's addresses in dotted decimal, in resolver order: the local address list when the
// host's own name was looked up.
std::vector<std::string> DottedAddresses(const std::vector<in_addr>& addresses);

// Follows the host's first local address while active, keeps the addresses of the online
// periods that have ended, and writes them to the history file at shutdown. Checks run on
// the interface thread; the lookup of each runs away from it, one at a time.
class TIdIPWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int kSliceMs = 500;  // the thread's sleep slice: one check after each

    explicit TIdIPWatch(Env& env, QObject* parent = nullptr);

    std::string HistoryFilename = kHistoryFilename;
    bool HistoryEnabled = true;
    int MaxHistoryEntries = 25;
    int WatchInterval = 1000;  // checked after every slice of at most kSliceMs of it

    // Gets the outcome of every lookup that a check made, after the watcher has taken it in.
    // Must not throw.
    std::function<void(const net::LookupResult& result)> OnLookupDone;
    // Told the host name at every check, as soon as it is read; must not throw.
    std::function<void(const std::string& name)> OnHostName;

    bool Active() const { return timer_.isActive(); }
    // Deactivation abandons a lookup in flight: it never reports.
    void SetActive(bool active);

    // One check, as the timer makes it: takes the host's name afresh, then looks it up unless
    // a lookup is still in flight. Does nothing when inactive.
    void Check();

    // Adds the online address to the history, stops, and writes the history file. Throws
    // base::Error when the file cannot be created.
    void Shutdown();

    const std::string& CurrentIP() const { return current_; }
    // The host's name as the last check (or the watcher's creation) found it; a local call,
    // so it is taken at every check rather than whenever someone needs it.
    const std::string& LocalHostName() const { return hostName_; }

private:
    void Answered(const net::LookupResult& result) noexcept;

    Env& env_;
    QTimer timer_;
    std::string hostName_;
    std::string current_;
    bool online_ = false;
    bool busy_ = false;  // a lookup is in flight
    net::LookupTicket lookup_;
    std::vector<std::string> history_;
};

}  // namespace app
