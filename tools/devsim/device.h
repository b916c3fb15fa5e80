#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devsim/text.h"

// The simulated device: its settings, clock and what it has received, and the texts it reads
// and answers with.
namespace devsim {

struct Settings {
    std::uint16_t telemetry = 6024;
    std::uint16_t h323 = 6025;
    Quad gateway{192, 168, 119, 1};
    Quad ip{192, 168, 119, 141};
    Quad handset{192, 168, 119, 240};
    Quad mask{255, 255, 255, 0};
    std::string mac = "00-AC-6E-24-18-02";
};

struct Device {
    Settings settings;
    std::string clock;               // the last time command's fields, empty before the first
    std::chrono::seconds offset{0};  // device clock minus host local clock
    unsigned time_commands = 0;
    unsigned config_commands = 0;
    // Everything received, for scripts that check what a program sent: counted even when the
    // log leaves lines out.
    unsigned long datagrams = 0;
    unsigned long requests = 0;
    unsigned long commands = 0;  // configuration and time commands, applied or not
};

bool IsRequest(std::string_view data);
bool IsTimeCommand(std::string_view data);
bool IsConfigCommand(std::string_view data);

// "<telemetry#h323#gateway#ip#handset#mask#mac>", numbers in hexadecimal.
std::string ConfigReply(const Settings& s);
// The settings for the log, in decimal.
std::string Describe(const Settings& s);

// Parses a configuration command completely before anything is applied, so a rejected command
// leaves the device as it was. On failure `why` names the first fault.
std::optional<Settings> ParseConfigCommand(std::string_view text, std::string& why);

}  // namespace devsim
