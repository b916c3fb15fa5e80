#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/address.h"
#include "device/port.h"
#include "device/settings.h"

namespace device {

// What one device is asked to do: read it; with `wanted`, change what differs and write it.
// With `time` and no `wanted`: read it, and send the time command once it answered in full.
struct Task {
    Ipv4 address = 0;
    std::optional<Settings> wanted;  // only the named settings are present
    bool time = false;               // the time command 500 ms after the configuration command
    bool verify = false;             // read again and compare
    bool dryRun = false;             // build the command, send nothing but the request
    // Only the device that reports this MAC text is written: compared on the very reply the
    // command is built from, so that a unit swapped between two replies is never written.
    std::optional<std::string> mac;
};

struct Result;

struct Timing {
    std::chrono::milliseconds timeout{1000};   // for each reply
    int retries = 2;                           // requests sent again after a timeout
    std::chrono::milliseconds timeDelay{500};  // configuration command to time command
    std::chrono::milliseconds settle{300};     // last command to the verifying request
    // Called just before a task's first configuration or time command goes out, with its
    // result so far. An exception from it stops the run: that command is not sent (the task
    // fails with the exception's message), no task starts after it, and no other task sends a
    // command any more; the tasks whose command went out finish. Run then reports every task
    // to `done` and throws the exception.
    std::function<void(const Task&, const Result&)> beforeCommand;
};

enum class Outcome {
    kRead,          // read only: complete settings
    kPartial,       // the reply parsed only in part
    kNoReply,       // no reply after the retries
    kUnchanged,     // already matching: nothing sent after the request
    kDryRun,        // the command built, not sent
    kChanged,       // the command (or, for a time task, the time command) sent, verified if asked
    kVerifyFailed,  // the command sent, but the device reports other settings
    kFailed,        // a send failed, or a value could not be written
    kInterrupted,   // stopped before it ended
};

// What went out to the device, each true once its send succeeded.
struct Sent {
    bool request = false;  // the configuration request ("GO")
    bool command = false;  // the configuration command
    bool time = false;     // the time command
};

struct Result {
    Ipv4 address = 0;
    Outcome outcome = Outcome::kInterrupted;
    Settings before;                     // as read (absent settings did not convert)
    std::vector<OutOfRange> outOfRange;  // values of the reply left out of `before`
    std::vector<Change> changes;         // what the command changes
    std::string command;                 // the configuration command's bytes, when one was built
    Sent sent;
    bool timeSent = false;           // the same as sent.time
    std::optional<Ipv4> verifiedAt;  // where the verifying request went
    Settings after;                  // the verifying read
    std::string message;             // why it failed, or a note (e.g. cannot verify)
    bool portTaken = false;          // failed because the device port was taken there
    bool otherDevice = false;        // failed: the reply carries another MAC text than Task::mac
};

// Runs tasks on one device port, up to `parallel` devices at once. Replies are matched to a
// device by their source address and the device port, and only while that device waits for
// one, so a stray or late reply is never taken for another device's. A reply that is not whole
// in the device's format, or longer than a reply can be, is partial, and nothing is sent after it.
// `done` is called once per task, in completion order, with the task's index. Stops early (the rest
// kInterrupted) on a stop request. PortTaken before anything went out ends the whole run (thrown);
// after that it fails only the devices it stops (portTaken set), so that no result is lost.
std::vector<Result> Run(DevicePort& port, const std::vector<Task>& tasks, std::size_t parallel,
                        const Timing& timing,
                        const std::function<void(std::size_t, const Result&)>& done = {});

// The time command with the host's local date and time, sent once, without reading the
// device first (a time Task reads it first).
void SendTime(DevicePort& port, Ipv4 address);

}  // namespace device
