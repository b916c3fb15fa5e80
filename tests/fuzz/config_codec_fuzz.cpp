// Feeds arbitrary bytes to the reply parser and the dotted conversion: neither may crash, and
// every result must have the shape the window and the device expect.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/int_conv.h"
#include "config/codec.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t at; (at = text.find(separator)) != std::string_view::npos;) {
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    parts.push_back(text);
    return parts;
}

// A signed 32-bit number in canonical decimal: what std::to_string would write.
bool IsDecimal(std::string_view text) {
    try {
        return std::to_string(base::StrToInt(text)) == text;
    } catch (const base::Error&) {
        return false;
    }
}

bool IsAddress(std::string_view text) {
    const auto parts = Split(text, '.');
    if (parts.size() != 4) return false;
    for (const auto part : parts) {
        if (!IsDecimal(part)) return false;
    }
    return true;
}

bool IsUpperHex(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

void CheckReply(std::string_view input) {
    const config::ConfigReplyFields f = config::ParseConfigReply(input);
    Check(f.mac.find('>') == std::string::npos, "MAC without '>'");
    Check(input.find(f.mac) != std::string_view::npos, "MAC is a piece of the line");

    const std::optional<std::string>* groups[] = {
        &f.telemetryPort, &f.h323Port, &f.gateway, &f.ipAddress, &f.handsetController, &f.netMask};
    bool stopped = false;
    for (int i = 0; i < 6; ++i) {
        const auto& g = *groups[i];
        Check(!(stopped && g), "no group after the first absent one");
        if (!g) {
            stopped = true;
            continue;
        }
        Check(i < 2 ? IsDecimal(*g) : IsAddress(*g), "ports decimal, addresses dotted decimal");
    }
}

void CheckDotted(std::string_view input) {
    std::optional<config::HexQuads> q;
    try {
        q = config::DottedToHexQuads(input);
    } catch (const base::Error& e) {
        // The message is a C string: a NUL byte in the named text cuts it short.
        if (input.find('\0') != std::string_view::npos) return;
        const std::string_view what = e.what(), tail = "' is not a valid integer value";
        Check(what.starts_with('\'') && what.ends_with(tail), "conversion error text");
        const auto named = what.substr(1, what.size() - 1 - tail.size());
        Check(input.ends_with(named) || input.find(std::string(named) + ".") == 0 ||
                  input.find("." + std::string(named) + ".") != std::string_view::npos,
              "the error names one part of the text");
        return;
    }
    if (!q) {
        Check(input.empty() || input.front() == '.' || input.back() == '.' ||
                  input.find("..") != std::string_view::npos,
              "nothing only for an empty part");
        return;
    }
    const auto hex = Split(q->hex, '.');
    const auto padded = Split(q->padded, '.');
    Check(hex.size() == 4 && padded.size() == 4, "four parts");
    for (int i = 0; i < 4; ++i) {
        Check(IsUpperHex(hex[i]) && hex[i].size() <= 8, "hex part: 1 to 8 upper-case digits");
        Check(hex[i].size() == 1 || hex[i][0] != '0', "hex part without leading zeros");
        Check(IsUpperHex(padded[i]) && padded[i].size() >= 2, "padded part: 2 or more digits");
        Check(padded[i] == hex[i] || padded[i] == "0" + std::string(hex[i]),
              "padded part is the hex part, perhaps after a 0");
    }

    // The padded quad goes into the command and must read back as the same numbers.
    const auto fields = config::ParseConfigReply(
        config::BuildConfigCommand("1", "2", q->padded, q->padded, q->padded, q->padded, ""));
    Check(fields.netMask.has_value(), "command quad reads back");
    const auto back = Split(*fields.netMask, '.');
    for (int i = 0; i < 4; ++i) {
        Check(back[i] == std::to_string(base::StrToInt("$" + std::string(hex[i]))),
              "command quad reads back as the same numbers");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckReply(input);
    CheckDotted(input);
    return 0;
}
