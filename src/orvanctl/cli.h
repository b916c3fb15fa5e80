#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "device/address.h"
#include "device/runner.h"

// What every orvanctl subcommand shares: the common options, exit codes and messages.
namespace orvanctl {

enum Exit {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kNoReply = 3,
    kPartial = 4,
    kPortTaken = 5,
    kVerifyFailed = 6,
    kNoDevice = 7,
    kNotThatDevice = 8,
    kInterrupted = 130,
};

extern const char* const kExitCodes;

// Set by the command line, read by every subcommand.
struct Common {
    int port = 4000;
    double timeout = 1.0;
    int retries = 2;
    bool json = false;
};

// One subcommand: its parsed options live in the closure of `run`.
struct Subcommand {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

void Message(const std::string& text);

device::Timing TimingOf(const Common& c);

device::Ipv4 AddressArgument(const std::string& text);

// A device value as the operator reads it: UTF-8, control bytes as \xNN.
std::string Shown(device::Setting s, const std::string& value);

std::string ResultLine(const device::Result& r);

int ExitOf(device::Outcome o);

// The whole of a file, or of stdin for "-". Throws base::Error.
std::string ReadAll(const std::string& path, const std::string& what);

// Refuses NaN and infinity, which pass every range check.
CLI::Validator Finite();

void AddCommon(CLI::App* app, Common& c, bool withJson);

Subcommand AddGet(CLI::App& parent, Common& common);
Subcommand AddSet(CLI::App& parent, Common& common);
Subcommand AddTime(CLI::App& parent, Common& common);
Subcommand AddScan(CLI::App& parent, Common& common);
Subcommand AddApply(CLI::App& parent, Common& common);

}  // namespace orvanctl
