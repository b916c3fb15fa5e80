#include "devsim/simulator.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "devsim/clock.h"
#include "devsim/state_file.h"
#include "devsim/text.h"

namespace devsim {

Simulator::Simulator(int sock, const Options& o, Log& log)
    : sock_(sock), options_(o), log_(log), misbehaviour_(o.misbehave, log) {
    device_.settings = o.settings;
}

bool Simulator::SaveState() {
    stale_ = false;
    if (options_.state_file.empty()) return true;
    saved_ = std::chrono::steady_clock::now();
    std::string why;
    if (WriteState(options_.state_file, device_, why)) return true;
    log_.Say("state file not written: " + why);
    return false;
}

// The counts reach the state file within a tenth of a second, not once per datagram.
void Simulator::SaveStateSoon() {
    stale_ = true;
    if (std::chrono::steady_clock::now() - saved_ >= kStateEvery) SaveState();
}

void Simulator::Handle(std::string_view data, const sockaddr_in& from,
                       const std::optional<in_addr>& broadcast) {
    ++device_.datagrams;
    if (IsRequest(data)) ++device_.requests;
    if (IsTimeCommand(data) || IsConfigCommand(data)) ++device_.commands;
    const std::string to = broadcast ? " to broadcast " + Address(*broadcast) : "";
    log_.Say("from " + Endpoint(from) + to + ", " + std::to_string(data.size()) +
             " bytes: " + Shown(data));
    HandleData(data, from);
    if (!options_.state_file.empty()) SaveStateSoon();
}

void Simulator::HandleData(std::string_view data, const sockaddr_in& from) {
    if (IsRequest(data)) {
        Request(from);
    } else if (misbehaviour_.IgnoresCommands() && (IsTimeCommand(data) || IsConfigCommand(data))) {
        log_.Say("ignored: a command, and commands are ignored (--ignore-commands)");
    } else if (IsTimeCommand(data)) {
        TimeCommand(data);
    } else if (IsConfigCommand(data)) {
        ConfigCommand(data);
    } else if (data.substr(0, 13) == "Replied from ") {
        log_.Say("ignored: an echo reply, nothing answered");
    } else {
        log_.Say("ignored: neither a request nor a command, nothing answered");
    }
}

std::optional<std::chrono::milliseconds> Simulator::NextDue() const {
    std::optional<std::chrono::steady_clock::time_point> due = misbehaviour_.NextDue();
    if (stale_) due = std::min(due.value_or(saved_ + kStateEvery), saved_ + kStateEvery);
    if (const auto summary = log_.NextDue()) due = std::min(due.value_or(*summary), *summary);
    if (!due) return std::nullopt;
    const auto left = *due - std::chrono::steady_clock::now();
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::ceil<std::chrono::milliseconds>(left));
}

void Simulator::SendDue() {
    const auto now = std::chrono::steady_clock::now();
    if (stale_ && now - saved_ >= kStateEvery) SaveState();
    log_.SendDue(now);
    while (const auto to = misbehaviour_.TakeDue(now)) Reply(*to);
}

void Simulator::Request(const sockaddr_in& from) {
    if (misbehaviour_.DropsRequest() || misbehaviour_.Postpones(from)) return;
    Reply(from);
}

void Simulator::Reply(sockaddr_in to) {
    // The program listens on the device's port number, not on the port it sent from.
    to.sin_port = htons(options_.port);
    misbehaviour_.BeforeReply(device_.settings);
    std::string reply = ConfigReply(device_.settings);
    misbehaviour_.Shape(reply);
    if (sendto(sock_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
        0) {
        log_.Say("request: reply to " + Endpoint(to) + " failed: " + std::strerror(errno));
        return;
    }
    std::string line =
        "request: sent the configuration reply to " + Endpoint(to) + ": " + Shown(reply);
    if (!device_.clock.empty())
        line += "; device clock now " + FormatClock(HostLocalNow() + device_.offset);
    log_.Say(line);
}

void Simulator::ConfigCommand(std::string_view data) {
    std::string why;
    const auto s = ParseConfigCommand(data, why);
    if (!s) {
        log_.Say("configuration command rejected, settings unchanged: " + why);
        return;
    }
    device_.settings = *s;
    ++device_.config_commands;
    SaveState();
    log_.Say("configuration command applied: " + Describe(*s));
}

void Simulator::TimeCommand(std::string_view data) {
    std::string why;
    const auto t = ParseTimeCommand(data, why);
    if (!t) {
        log_.Say("time command rejected, clock unchanged: " + why);
        return;
    }
    device_.offset = *t - HostLocalNow();
    device_.clock = std::string(data.substr(8, 20));
    ++device_.time_commands;
    SaveState();
    log_.Say("time command applied: device clock " + FormatClock(*t) + ", host local time " +
             FormatClock(HostLocalNow()));
}

}  // namespace devsim
