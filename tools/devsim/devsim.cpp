// orvan-devsim: plays the handset-controller device on one UDP address and port, so that the
// program can be tried without the hardware. It parses and formats the device texts itself, as
// an independent peer, so that a fault in the program's codec shows up instead of cancelling out.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/version.h"

namespace {

using Quad = std::array<std::uint8_t, 4>;

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

constexpr const char* kUsage =
    "Usage: orvan-devsim [options]\n"
    "Plays the handset-controller device over UDP for the Orvan program.\n"
    "\n"
    "  --address A.B.C.D  local address to listen on (default 192.168.1.1)\n"
    "  --port P           local port; replies go to the requester at this port (default 4000)\n"
    "  --telemetry-port N telemetry port reported by the device (default 6024)\n"
    "                     (also --telemetry)\n"
    "  --h323-port N      H.323 port (default 6025) (also --h323)\n"
    "  --gateway A.B.C.D  gateway address (default 192.168.119.1)\n"
    "  --ip A.B.C.D       the device's own address (default 192.168.119.141)\n"
    "  --controller A.B.C.D\n"
    "                     handset-controller address (default 192.168.119.240)\n"
    "                     (also --handset)\n"
    "  --mask A.B.C.D     network mask (default 255.255.255.0)\n"
    "  --mac TEXT         MAC address text (default 00-AC-6E-24-18-02)\n"
    "  --state FILE       keep the current settings, clock and counts of what was received\n"
    "                     in FILE (key=value lines)\n"
    "  --millis           stamp each line with milliseconds\n"
    "  --log-rate N       print at most N lines a second, and how many were left out\n"
    "                     (default 100; 0: every line)\n"
    "\n"
    "Misbehaving, for trying the program's limits:\n"
    "  --ignore-commands  apply no configuration or time command (still prints them)\n"
    "  --drop-requests N  leave the first N requests unanswered\n"
    "  --delay MS         answer each request MS milliseconds late\n"
    "  --partial N        send the first N bytes of the configuration reply and its '>'\n"
    "  --cut N            send the first N bytes of the configuration reply alone, as a\n"
    "                     reply cut short on the wire\n"
    "  --swap-after N     after N replies another unit answers: the same settings with\n"
    "                     the MAC text of --swap-mac (default 02-00-5E-FF-FF-FF)\n"
    "  --swap-mac TEXT    that unit's MAC text\n"
    "\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Answers \"GO\" with its configuration reply, applies valid configuration and time\n"
    "commands, and prints every datagram and what it did. Stops on SIGINT or SIGTERM.\n";

// ---- text helpers -------------------------------------------------------------------------

std::string Hex(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", value);
    return buf;
}

std::string Dotted(const Quad& q) {
    return std::to_string(q[0]) + "." + std::to_string(q[1]) + "." + std::to_string(q[2]) + "." +
           std::to_string(q[3]);
}

std::string HexQuad(const Quad& q) {
    return Hex(q[0]) + "." + Hex(q[1]) + "." + Hex(q[2]) + "." + Hex(q[3]);
}

// Received bytes are shown in quotes; escaping keeps one datagram on one line whatever it holds.
std::string Escaped(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string Endpoint(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

// One line per event, flushed at once so that a reader of a pipe sees it without delay.
bool g_millis = false;

void Print(const std::string& line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    if (g_millis) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000;
        std::printf("%s.%03d %s\n", stamp, int(ms), line.c_str());
    } else {
        std::printf("%s %s\n", stamp, line.c_str());
    }
    std::fflush(stdout);
}

// A flood must not fill the disk: at most so many lines a second, then one line that says how
// many were left out.
unsigned g_log_rate = 100;
std::chrono::steady_clock::time_point g_window;
unsigned g_window_lines = 0;
unsigned long g_left_out = 0;

void FlushLeftOut() {
    if (g_left_out == 0) return;
    Print(std::to_string(g_left_out) + (g_left_out == 1 ? " line" : " lines") +
          " left out (more than " + std::to_string(g_log_rate) + " a second, --log-rate)");
    g_left_out = 0;
}

// A new second of the log: the lines left out of the last one are told first.
void NextLogSecond(std::chrono::steady_clock::time_point now) {
    g_window = now;
    g_window_lines = 0;
    FlushLeftOut();
}

void Say(const std::string& line) {
    if (g_log_rate == 0) {
        Print(line);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - g_window >= std::chrono::seconds(1)) NextLogSecond(now);
    if (g_window_lines >= g_log_rate) {
        ++g_left_out;
        return;
    }
    ++g_window_lines;
    Print(line);
}

// A long datagram is shown by its start: one line stays readable and the log bounded.
constexpr std::size_t kMostShownBytes = 1024;

std::string Shown(std::string_view bytes) {
    if (bytes.size() <= kMostShownBytes) return Escaped(bytes);
    return Escaped(bytes.substr(0, kMostShownBytes)) + " and " +
           std::to_string(bytes.size() - kMostShownBytes) + " more bytes";
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only: no sign, blank or prefix. Saturates, so an overlong number is merely too large.
std::optional<unsigned> Number(std::string_view text, unsigned base) {
    if (text.empty()) return std::nullopt;
    unsigned long long value = 0;
    for (char c : text) {
        if (base == 16 ? !IsHexDigit(c) : !IsDigit(c)) return std::nullopt;
        const unsigned d = IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
        value = std::min(value * base + d, 0xFFFFFFFFull);
    }
    return static_cast<unsigned>(value);
}

bool HasControlByte(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// ---- command line -------------------------------------------------------------------------

std::optional<Quad> ParseDotted(std::string_view text) {
    const auto parts = Split(text, '.');
    if (parts.size() != 4) return std::nullopt;
    Quad q{};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto v = Number(parts[i], 10);
        if (!v || *v > 255) return std::nullopt;
        q[i] = static_cast<std::uint8_t>(*v);
    }
    return q;
}

std::optional<unsigned> ParseDecimalPort(std::string_view text, unsigned min) {
    const auto v = Number(text, 10);
    if (!v || *v < min || *v > 65535) return std::nullopt;
    return v;
}

struct Options {
    Quad address{192, 168, 1, 1};
    std::uint16_t port = 4000;
    Settings settings;
    std::string state_file;
    bool ignore_commands = false;
    unsigned drop_requests = 0;
    unsigned delay_ms = 0;
    std::optional<std::size_t> partial;
    std::optional<std::size_t> cut;
    std::optional<unsigned> swap_after;
    std::string swap_mac = "02-00-5E-FF-FF-FF";
};

[[noreturn]] void BadArgument(const std::string& message) {
    std::fprintf(stderr, "orvan-devsim: %s\nTry 'orvan-devsim --help'.\n", message.c_str());
    std::exit(2);
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (name == "--version") {
            std::puts("orvan-devsim " ORVAN_VERSION);
            std::exit(0);
        }
        if (name == "--ignore-commands") {
            o.ignore_commands = true;
            continue;
        }
        if (name == "--millis") {
            g_millis = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) BadArgument("unexpected argument '" + name + "'");
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            BadArgument("option " + name + " needs a value");
        }

        const auto quad = [&](Quad& out) {
            const auto q = ParseDotted(value);
            if (!q) BadArgument(name + ": '" + value + "' is not a dotted decimal address");
            out = *q;
        };
        const auto port = [&](std::uint16_t& out, unsigned min) {
            const auto p = ParseDecimalPort(value, min);
            if (!p) {
                BadArgument(name + ": '" + value + "' is not a port number (" +
                            std::to_string(min) + " to 65535)");
            }
            out = static_cast<std::uint16_t>(*p);
        };

        if (name == "--address") {
            quad(o.address);
        } else if (name == "--port") {
            port(o.port, 1);  // the reply goes to this port, so it must be a real one
        } else if (name == "--telemetry-port" || name == "--telemetry") {
            port(o.settings.telemetry, 0);
        } else if (name == "--h323-port" || name == "--h323") {
            port(o.settings.h323, 0);
        } else if (name == "--gateway") {
            quad(o.settings.gateway);
        } else if (name == "--ip") {
            quad(o.settings.ip);
        } else if (name == "--controller" || name == "--handset") {
            quad(o.settings.handset);
        } else if (name == "--mask") {
            quad(o.settings.mask);
        } else if (name == "--mac") {
            // The reply ends at ">", and the state file holds one setting per line.
            if (value.find('>') != std::string::npos || HasControlByte(value))
                BadArgument("--mac: the text must not hold '>' or control characters");
            o.settings.mac = value;
        } else if (name == "--swap-mac") {
            if (value.find('>') != std::string::npos || HasControlByte(value))
                BadArgument("--swap-mac: the text must not hold '>' or control characters");
            o.swap_mac = value;
        } else if (name == "--drop-requests" || name == "--delay" || name == "--partial" ||
                   name == "--log-rate" || name == "--cut" || name == "--swap-after") {
            const auto n = Number(value, 10);
            if (!n || *n > 600000)
                BadArgument(name + ": '" + value + "' is not a number up to 600000");
            if (name == "--log-rate") g_log_rate = *n;
            if (name == "--drop-requests") o.drop_requests = *n;
            if (name == "--delay") o.delay_ms = *n;
            if (name == "--partial") o.partial = *n;
            if (name == "--cut") o.cut = *n;
            if (name == "--swap-after") o.swap_after = *n;
        } else if (name == "--state") {
            if (value.empty()) BadArgument("--state: empty file name");
            o.state_file = value;
        } else {
            BadArgument("unknown option " + name);
        }
    }
    return o;
}

// ---- device texts -------------------------------------------------------------------------

std::string ConfigReply(const Settings& s) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about "<" + a temporary.
    std::string reply = "<";
    for (const std::string& field : {Hex(s.telemetry), Hex(s.h323), HexQuad(s.gateway),
                                     HexQuad(s.ip), HexQuad(s.handset), HexQuad(s.mask)}) {
        reply += field;
        reply += '#';
    }
    reply += s.mac;
    reply += '>';
    return reply;
}

std::string Describe(const Settings& s) {
    return "telemetry " + std::to_string(s.telemetry) + ", h323 " + std::to_string(s.h323) +
           ", gateway " + Dotted(s.gateway) + ", ip " + Dotted(s.ip) + ", handset " +
           Dotted(s.handset) + ", mask " + Dotted(s.mask) + ", mac " + Escaped(s.mac);
}

// Parses "<telemetry#h323#gateway#ip#handset#mask#mac>" completely before anything is applied,
// so a rejected command leaves the device as it was. On failure `why` names the first fault.
std::optional<Settings> ParseConfigCommand(std::string_view text, std::string& why) {
    if (text.back() != '>') {
        why = text.find('>') == std::string_view::npos ? "no closing '>'"
                                                       : "text after the closing '>'";
        return std::nullopt;
    }
    const std::string_view body = text.substr(1, text.size() - 2);
    if (body.find('>') != std::string_view::npos) {
        why = "'>' inside the command";
        return std::nullopt;
    }
    // The MAC is free text, so it takes everything after the sixth "#".
    std::vector<std::string_view> fields;
    std::string_view rest = body;
    while (fields.size() < 6) {
        const auto at = rest.find('#');
        if (at == std::string_view::npos) {
            why = "7 fields expected, found " + std::to_string(fields.size() + 1);
            return std::nullopt;
        }
        fields.push_back(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
    fields.push_back(rest);

    Settings s;
    const auto port = [&](std::string_view field, const char* name, std::uint16_t& out) {
        const auto v = Number(field, 16);
        if (!v) {
            why = std::string(name) + " port " + Escaped(field) + " is not a hexadecimal number";
            return false;
        }
        if (*v > 0xFFFF) {
            why = std::string(name) + " port " + Escaped(field) + " is above FFFF";
            return false;
        }
        out = static_cast<std::uint16_t>(*v);
        return true;
    };
    const auto quad = [&](std::string_view field, const char* name, Quad& out) {
        const auto parts = Split(field, '.');
        if (parts.size() != 4) {
            why = std::string(name) + " " + Escaped(field) + " has " +
                  std::to_string(parts.size()) + " parts, not 4";
            return false;
        }
        for (std::size_t i = 0; i < 4; ++i) {
            const auto v = Number(parts[i], 16);
            if (!v) {
                why = std::string(name) + " part " + Escaped(parts[i]) +
                      " is not a hexadecimal number";
                return false;
            }
            if (parts[i].size() > 2) {
                why = std::string(name) + " part " + Escaped(parts[i]) +
                      (*v > 0xFF ? " is above FF" : " has more than two digits");
                return false;
            }
            out[i] = static_cast<std::uint8_t>(*v);
        }
        return true;
    };
    if (!port(fields[0], "telemetry", s.telemetry) || !port(fields[1], "h323", s.h323) ||
        !quad(fields[2], "gateway", s.gateway) || !quad(fields[3], "ip", s.ip) ||
        !quad(fields[4], "handset", s.handset) || !quad(fields[5], "mask", s.mask)) {
        return std::nullopt;
    }
    if (HasControlByte(fields[6])) {
        why = "mac " + Escaped(fields[6]) + " holds a control character";
        return std::nullopt;
    }
    s.mac = std::string(fields[6]);
    return s;
}

// ---- clock --------------------------------------------------------------------------------

// The device clock has no time zone: it runs at a fixed offset from the host's local time.
std::chrono::sys_seconds HostLocalNow() {
    using namespace std::chrono;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    const year_month_day date{year{tm.tm_year + 1900}, month{unsigned(tm.tm_mon + 1)},
                              day{unsigned(tm.tm_mday)}};
    return sys_days{date} + hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec};
}

std::string FormatClock(std::chrono::sys_seconds t) {
    using namespace std::chrono;
    static constexpr const char* kDays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                            "Friday", "Saturday", "Sunday"};
    const auto days = floor<std::chrono::days>(t);
    const year_month_day date{days};
    const hh_mm_ss time{t - days};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld:%02ld %s", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), long(time.hours().count()),
                  long(time.minutes().count()), long(time.seconds().count()),
                  kDays[weekday{days}.iso_encoding() - 1]);
    return buf;
}

// Parses "USTTIME<YY*MM*DD*0W*hh*mm*ss>" into the device time it sets.
std::optional<std::chrono::sys_seconds> ParseTimeCommand(std::string_view text, std::string& why) {
    using namespace std::chrono;
    if (text.size() != 29) {
        why = "length " + std::to_string(text.size()) + ", not 29";
        return std::nullopt;
    }
    if (text.substr(0, 8) != "USTTIME<" || text[28] != '>') {
        why = "not framed as USTTIME<...>";
        return std::nullopt;
    }
    static constexpr const char* kNames[] = {"year", "month",   "day",    "weekday",
                                             "hour", "minutes", "seconds"};
    unsigned v[7];
    for (std::size_t i = 0; i < 7; ++i) {
        const std::size_t at = 8 + 3 * i;
        if (i < 6 && text[at + 2] != '*') {
            why = "'*' expected after the " + std::string(kNames[i]);
            return std::nullopt;
        }
        const auto n = Number(text.substr(at, 2), 10);
        if (!n) {
            why = std::string(kNames[i]) + " " + Escaped(text.substr(at, 2)) +
                  " is not two decimal digits";
            return std::nullopt;
        }
        v[i] = *n;
    }
    const year_month_day date{year{2000 + int(v[0])}, month{v[1]}, day{v[2]}};
    if (!date.month().ok()) {
        why = "month " + std::to_string(v[1]) + " out of range";
        return std::nullopt;
    }
    if (!date.ok()) {
        why = "day " + std::to_string(v[2]) + " out of range for " + std::to_string(v[1]) + "/" +
              std::to_string(2000 + v[0]);
        return std::nullopt;
    }
    if (v[3] < 1 || v[3] > 7) {
        why = "weekday " + std::to_string(v[3]) + " out of range (1 to 7)";
        return std::nullopt;
    }
    const unsigned actual = weekday{sys_days{date}}.iso_encoding();
    if (v[3] != actual) {
        why = "weekday " + std::to_string(v[3]) + " disagrees with the date, whose weekday is " +
              std::to_string(actual);
        return std::nullopt;
    }
    if (v[4] > 23 || v[5] > 59 || v[6] > 59) {
        why = "time of day out of range";
        return std::nullopt;
    }
    return sys_days{date} + hours{v[4]} + minutes{v[5]} + seconds{v[6]};
}

// ---- state file ---------------------------------------------------------------------------

// Written to a new temporary file of its own and renamed, so that a reader never sees half a
// state and a name planted beside the state file (a link, a FIFO) is never opened.
bool WriteState(const std::string& path, const Device& d, std::string& why) {
    const Settings& s = d.settings;
    std::ostringstream text;
    text << "telemetry=" << s.telemetry << "\nh323=" << s.h323 << "\ngateway=" << Dotted(s.gateway)
         << "\nip=" << Dotted(s.ip) << "\nhandset=" << Dotted(s.handset)
         << "\nmask=" << Dotted(s.mask) << "\nmac=" << s.mac << "\nclock=" << d.clock
         << "\ntime_commands=" << d.time_commands << "\nconfig_commands=" << d.config_commands
         << "\ndatagrams=" << d.datagrams << "\nrequests=" << d.requests
         << "\ncommands=" << d.commands << "\n";
    const std::string bytes = text.str();
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        why = "cannot create a temporary beside " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    const int err = done == bytes.size() ? 0 : errno;
    if (close(fd) != 0 || err != 0 || fchmodat(AT_FDCWD, temp.c_str(), 0644, 0) != 0) {
        why = "cannot write " + temp + ": " + std::strerror(err != 0 ? err : errno);
        unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        why = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// ---- main loop ----------------------------------------------------------------------------

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

class Simulator {
public:
    Simulator(int sock, const Options& o) : sock_(sock), options_(o) {
        device_.settings = o.settings;
    }

    bool SaveState() {
        stale_ = false;
        if (options_.state_file.empty()) return true;
        saved_ = std::chrono::steady_clock::now();
        std::string why;
        if (WriteState(options_.state_file, device_, why)) return true;
        Say("state file not written: " + why);
        return false;
    }

    // The counts reach the state file within a tenth of a second, not once per datagram.
    void SaveStateSoon() {
        stale_ = true;
        if (std::chrono::steady_clock::now() - saved_ >= kStateEvery) SaveState();
    }

    void Handle(std::string_view data, const sockaddr_in& from) {
        ++device_.datagrams;
        if (data == "GO") ++device_.requests;
        if (data.substr(0, 7) == "USTTIME" || (!data.empty() && data.front() == '<'))
            ++device_.commands;
        Say("from " + Endpoint(from) + ", " + std::to_string(data.size()) +
            " bytes: " + Shown(data));
        HandleData(data, from);
        if (!options_.state_file.empty()) SaveStateSoon();
    }

    void HandleData(std::string_view data, const sockaddr_in& from) {
        if (data == "GO") {
            Request(from);
        } else if (options_.ignore_commands &&
                   (data.substr(0, 7) == "USTTIME" || (!data.empty() && data.front() == '<'))) {
            Say("ignored: a command, and commands are ignored (--ignore-commands)");
        } else if (data.substr(0, 7) == "USTTIME") {
            TimeCommand(data);
        } else if (!data.empty() && data.front() == '<') {
            ConfigCommand(data);
        } else if (data.substr(0, 13) == "Replied from ") {
            Say("ignored: an echo reply, nothing answered");
        } else {
            Say("ignored: neither a request nor a command, nothing answered");
        }
    }

    // How long until the next late reply or state write is due; nothing when none waits.
    std::optional<std::chrono::milliseconds> NextDue() const {
        std::optional<std::chrono::steady_clock::time_point> due;
        if (!late_.empty()) due = late_.front().due;
        if (stale_) due = std::min(due.value_or(saved_ + kStateEvery), saved_ + kStateEvery);
        if (g_left_out > 0) {
            const auto summary = g_window + std::chrono::seconds(1);
            due = std::min(due.value_or(summary), summary);
        }
        if (!due) return std::nullopt;
        const auto left = *due - std::chrono::steady_clock::now();
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::ceil<std::chrono::milliseconds>(left));
    }

    void SendDue() {
        const auto now = std::chrono::steady_clock::now();
        if (stale_ && now - saved_ >= kStateEvery) SaveState();
        if (g_left_out > 0 && now - g_window >= std::chrono::seconds(1)) NextLogSecond(now);
        while (!late_.empty() && late_.front().due <= now) {
            Reply(late_.front().to);
            late_.pop_front();
        }
    }

private:
    static constexpr std::size_t kMostLate = 256;
    static constexpr std::chrono::milliseconds kStateEvery{100};
    struct Late {
        std::chrono::steady_clock::time_point due;
        sockaddr_in to;
    };

    void Request(const sockaddr_in& from) {
        if (dropped_ < options_.drop_requests) {
            ++dropped_;
            Say("request dropped (" + std::to_string(dropped_) + " of " +
                std::to_string(options_.drop_requests) + ", --drop-requests)");
            return;
        }
        if (options_.delay_ms == 0) {
            Reply(from);
            return;
        }
        if (late_.size() == kMostLate) {
            Say("request dropped: " + std::to_string(kMostLate) + " late replies wait already");
            return;
        }
        late_.push_back(
            {std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.delay_ms),
             from});
        Say("request: the reply goes " + std::to_string(options_.delay_ms) + " ms late (--delay)");
    }

    void Reply(sockaddr_in to) {
        // The program listens on the device's port number, not on the port it sent from.
        to.sin_port = htons(options_.port);
        if (options_.swap_after && replies_ == *options_.swap_after) {
            device_.settings.mac = options_.swap_mac;
            Say("another unit answers from now on (--swap-after): mac " +
                Escaped(options_.swap_mac));
        }
        ++replies_;
        std::string reply = ConfigReply(device_.settings);
        // Cut before the closing ">", as a device that leaves out the later fields would.
        if (options_.partial && *options_.partial < reply.size()) {
            reply.resize(*options_.partial);
            reply += '>';
        }
        if (options_.cut && *options_.cut < reply.size()) reply.resize(*options_.cut);
        if (sendto(sock_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) < 0) {
            Say("request: reply to " + Endpoint(to) + " failed: " + std::strerror(errno));
            return;
        }
        std::string line =
            "request: sent the configuration reply to " + Endpoint(to) + ": " + Shown(reply);
        if (!device_.clock.empty())
            line += "; device clock now " + FormatClock(HostLocalNow() + device_.offset);
        Say(line);
    }

    void ConfigCommand(std::string_view data) {
        std::string why;
        const auto s = ParseConfigCommand(data, why);
        if (!s) {
            Say("configuration command rejected, settings unchanged: " + why);
            return;
        }
        device_.settings = *s;
        ++device_.config_commands;
        SaveState();
        Say("configuration command applied: " + Describe(*s));
    }

    void TimeCommand(std::string_view data) {
        std::string why;
        const auto t = ParseTimeCommand(data, why);
        if (!t) {
            Say("time command rejected, clock unchanged: " + why);
            return;
        }
        device_.offset = *t - HostLocalNow();
        device_.clock = std::string(data.substr(8, 20));
        ++device_.time_commands;
        SaveState();
        Say("time command applied: device clock " + FormatClock(*t) + ", host local time " +
            FormatClock(HostLocalNow()));
    }

    int sock_;
    const Options& options_;
    Device device_;
    unsigned dropped_ = 0;
    unsigned replies_ = 0;
    bool stale_ = false;  // counts changed since the state file was written
    std::chrono::steady_clock::time_point saved_{};
    std::deque<Late> late_;  // in due order: every reply is late by the same time
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseArguments(argc, argv);

    // Signals stay blocked except inside pselect, so a stop request cannot slip in between the
    // check of the flag and the wait.
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::fprintf(stderr, "orvan-devsim: socket: %s\n", std::strerror(errno));
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(options.port);
    std::memcpy(&local.sin_addr, options.address.data(), 4);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "orvan-devsim: cannot bind %s: %s\n", Endpoint(local).c_str(),
                     std::strerror(errno));
        return 1;
    }

    Simulator sim(sock, options);
    if (!sim.SaveState()) return 1;
    Print("listening on " + Endpoint(local) + "; replies go to the requester's address, port " +
          std::to_string(options.port));
    Say("settings: " + Describe(options.settings));

    std::vector<char> buffer(65536);
    while (!g_stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        timespec timeout{};
        const auto due = sim.NextDue();
        if (due) {
            timeout.tv_sec = due->count() / 1000;
            timeout.tv_nsec = long(due->count() % 1000) * 1000000;
        }
        const int ready =
            pselect(sock + 1, &readable, nullptr, nullptr, due ? &timeout : nullptr, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "orvan-devsim: pselect: %s\n", std::strerror(errno));
            return 1;
        }
        sim.SendDue();
        if (ready == 0) continue;
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(sock, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            // A failed receive loses one datagram; the device goes on listening.
            Say(std::string("receive failed: ") + std::strerror(errno));
            continue;
        }
        sim.Handle(std::string_view(buffer.data(), static_cast<std::size_t>(n)), from);
    }
    sim.SaveState();
    FlushLeftOut();
    Print("stopped by a signal");
    close(sock);
    return 0;
}
