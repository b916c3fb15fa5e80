#pragma once

// The datagrams of the benchmark and the echo reply they must get back. The load generator
// and the window harness both rebuild every message from its sequence number, so that each
// can check bytes without keeping what was sent.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace bench {

enum class Kind {
    Plain,  // "#0000000042|" and printable filler: what a test peer sends
    Reply,  // a configuration reply whose telemetry port is the sequence number + 1
};

// Fixed so that a reply whose settings are all valid stays under 100 bytes.
constexpr std::string_view kReplyTail =
    "#17A1#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";
constexpr std::size_t kSeqDigits = 10;

// The shortest message of a kind that still carries its sequence number whole.
constexpr std::size_t MinSize(Kind kind) {
    return kind == Kind::Plain ? 2 + kSeqDigits : 1 + 8 + kReplyTail.size();
}

// Printable, without the quotation mark and the line breaks, so that the memos show one line.
constexpr std::string_view kAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,:;-_+=/()[]<>!?*&%$";
// Messages whose sequence numbers agree modulo this differ only in their head.
constexpr std::uint32_t kFillerPeriod = kAlphabet.size();

inline char Filler(std::uint32_t seq, std::size_t at) {
    return kAlphabet[(seq * 7u + at) % kAlphabet.size()];
}

inline std::string MakeMessage(Kind kind, std::uint32_t seq, std::size_t size) {
    char head[32];
    std::string text;
    if (kind == Kind::Plain) {
        std::snprintf(head, sizeof head, "#%010u|", static_cast<unsigned>(seq));
        text = head;
    } else {
        // Leading zeros keep the length fixed; the parser accepts them.
        std::snprintf(head, sizeof head, "<%08X", static_cast<unsigned>(seq + 1));
        text = head;
        text += kReplyTail;  // text after ">" is ignored by the parser
    }
    for (std::size_t at = text.size(); at < size; ++at) text.push_back(Filler(seq, at));
    text.resize(size);
    return text;
}

// The sequence number a message carries, if it has the shape of one of ours.
inline std::optional<std::uint32_t> SeqOf(Kind kind, std::string_view message) {
    const std::size_t from = 1;
    const std::size_t digits = kind == Kind::Plain ? kSeqDigits : 8;
    if (message.size() < from + digits) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = from; i < from + digits; ++i) {
        const char c = message[i];
        unsigned d = 0;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (kind == Kind::Reply && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * (kind == Kind::Plain ? 10 : 16) + d;
    }
    if (kind == Kind::Reply) {
        if (value == 0) return std::nullopt;
        --value;
    }
    if (value > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

inline std::string EchoReply(const std::string& host, std::string_view message) {
    std::string reply = "Replied from " + host + " to \"";
    reply.append(message);
    reply.push_back('"');
    return reply;
}

}  // namespace bench
