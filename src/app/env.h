#pragma once

#include <netinet/in.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/local_date_time.h"
#include "capture/recorder.h"
#include "net/async_lookup.h"

namespace app {

enum class BoxKind {
    Error,  // the error box: stop icon, application title as caption
    Fatal,  // "Application Error", then the program ends
    Plain,  // text and OK only
};

// Everything the program asks of the desktop and the host that a headless test must observe
// instead of blocking on it or depending on this machine.
class Env {
public:
    virtual ~Env() = default;
    virtual void ShowMessage(BoxKind kind, const std::string& caption, const std::string& text) = 0;
    virtual void Beep() = 0;
    virtual void Pause(int milliseconds) = 0;  // blocks the interface thread, as the device expects
    virtual base::LocalDateTime LocalTime() = 0;
    virtual std::string LocalHostName() = 0;  // a local call, never the name server
    // The one pool of name lookups: the host's own name (start-up, the IP watcher, the
    // reception switch) and the TCP clients' hosts. Lookups never run on the interface thread,
    // where a name server that does not answer would freeze the window.
    virtual net::AsyncLookup& Lookup() = 0;
    // The IPv4 addresses of the interfaces that are up, loopback left out, in the system's
    // order; nullopt when the system cannot list them. A local call, never the name server.
    virtual std::optional<std::vector<in_addr>> UpInterfaceAddresses() { return std::nullopt; }
    // The local address list: a lookup of the host's name in Lookup()'s pool, completed by
    // OwnAddressList. `done` runs as Lookup() runs it.
    [[nodiscard]] net::LookupTicket LookupOwnAddresses(
        const std::string& hostName, std::function<void(const net::LookupResult&)> done);
    // The full path at which a history file of this name is written; nullopt writes none.
    virtual std::optional<std::string> HistoryFilePath(const std::string& name) = 0;
    // Where the sockets record their traffic (--capture); null: nowhere.
    virtual capture::Recorder* Capture() { return nullptr; }
};

// The host's own addresses from its name's lookup. A name that gives loopback addresses alone
// (Debian maps it to 127.0.1.1), or fails on a host with no interface up, tells nothing a
// device could reach: the interfaces' addresses stand in, "127.0.0.1" alone when none is up.
// `upInterfaces` is asked only then; when it cannot tell (nullopt) the lookup stands.
net::LookupResult OwnAddressList(
    net::LookupResult resolved,
    const std::function<std::optional<std::vector<in_addr>>()>& upInterfaces);

// The real desktop and host.
class SystemEnv final : public Env {
public:
    // After the application object, whose thread is the interface thread. The capture, if
    // any, must outlive the environment.
    explicit SystemEnv(capture::Recorder* capture = nullptr);
    ~SystemEnv() override;
    void ShowMessage(BoxKind kind, const std::string& caption, const std::string& text) override;
    void Beep() override;
    void Pause(int milliseconds) override;
    base::LocalDateTime LocalTime() override;
    std::string LocalHostName() override;
    net::AsyncLookup& Lookup() override { return lookup_; }
    std::optional<std::vector<in_addr>> UpInterfaceAddresses() override;
    std::optional<std::string> HistoryFilePath(const std::string& name) override;
    capture::Recorder* Capture() override { return capture_; }

private:
    capture::Recorder* capture_;
    net::AsyncLookup lookup_{net::SystemResolve};
};

}  // namespace app
