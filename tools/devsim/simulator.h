#pragma once

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <string_view>

#include "devsim/device.h"
#include "devsim/log.h"
#include "devsim/misbehaviour.h"
#include "devsim/options.h"

namespace devsim {

// The device at work: answers requests, applies commands, keeps the state file, and misbehaves
// as the options say. Sends on a socket it does not own.
class Simulator {
public:
    Simulator(int sock, const Options& o, Log& log);

    // Writes the state file now; false (and a log line) when it cannot.
    bool SaveState();
    // `broadcast`: the broadcast address the datagram went to; nothing when to the device's own.
    void Handle(std::string_view data, const sockaddr_in& from,
                const std::optional<in_addr>& broadcast = std::nullopt);

    // How long until the next late reply, state write or log line is due; nothing when none is.
    std::optional<std::chrono::milliseconds> NextDue() const;
    void SendDue();

private:
    static constexpr std::chrono::milliseconds kStateEvery{100};

    void SaveStateSoon();
    void HandleData(std::string_view data, const sockaddr_in& from);
    void Request(const sockaddr_in& from);
    void Reply(sockaddr_in to);
    void ConfigCommand(std::string_view data);
    void TimeCommand(std::string_view data);

    int sock_;
    const Options& options_;
    Log& log_;
    Misbehaviour misbehaviour_;
    Device device_;
    bool stale_ = false;  // counts changed since the state file was written
    std::chrono::steady_clock::time_point saved_{};
};

}  // namespace devsim
