#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include "devsim/device.h"
#include "devsim/log.h"

// How the simulated device misbehaves when told to, for trying the program's limits: requests
// left unanswered or answered late, replies cut short, another unit answering.
namespace devsim {

struct MisbehaviourOptions {
    bool ignore_commands = false;
    unsigned drop_requests = 0;
    unsigned delay_ms = 0;
    std::optional<std::size_t> partial;
    std::optional<std::size_t> cut;
    std::optional<unsigned> swap_after;
    std::string swap_mac = "02-00-5E-FF-FF-FF";
};

class Misbehaviour {
public:
    Misbehaviour(const MisbehaviourOptions& options, Log& log) : options_(options), log_(log) {}

    bool IgnoresCommands() const { return options_.ignore_commands; }

    // True when the request is to go unanswered (--drop-requests).
    bool DropsRequest();
    // True when the reply to `from` waits (--delay) or is dropped because too many wait.
    bool Postpones(const sockaddr_in& from);
    // The requester of the next late reply that is due by `now`, taken from the queue.
    std::optional<sockaddr_in> TakeDue(std::chrono::steady_clock::time_point now);
    std::optional<std::chrono::steady_clock::time_point> NextDue() const;

    // Called once per reply, before it is made: another unit may take over (--swap-after).
    void BeforeReply(Settings& settings);
    // The reply as it goes on the wire (--partial, --cut).
    void Shape(std::string& reply) const;

private:
    static constexpr std::size_t kMostLate = 256;
    struct Late {
        std::chrono::steady_clock::time_point due;
        sockaddr_in to;
    };

    const MisbehaviourOptions& options_;
    Log& log_;
    unsigned dropped_ = 0;
    unsigned replies_ = 0;
    std::deque<Late> late_;  // in due order: every reply is late by the same time
};

}  // namespace devsim
