// The listener's echo rules and the watcher's offline rule, as tables: which datagrams get an
// echo, the reply's bytes, and which addresses count as online.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "app/echo.h"
#include "app/ip_watch.h"

namespace {

using namespace std::string_literals;

struct Answering {
    const char* label;
    std::string datagram;
    bool fromOwnSocket;
    bool echoReply;
    bool answered;
    friend void PrintTo(const Answering& row, std::ostream* os) { *os << row.label; }
};

const Answering kAnswering[] = {
    {"plain text", "abc", false, false, true},
    {"empty", "", false, false, true},
    {"an echo reply", "Replied from far to \"abc\"", false, true, false},
    {"the start alone", "Replied from ", false, true, false},
    {"an echo with a line end added", "Replied from far to \"abc\"\n", false, true, false},
    {"begins like one, no closing quote", "Replied from far to \"abc", false, true, false},
    {"the start without its space", "Replied from", false, false, true},
    {"the start in lower case", "replied from far \"", false, false, true},
    {"the start after a blank", " Replied from far \"", false, false, true},
    {"closing quote only", "say \"abc\"", false, false, true},
    {"from the listener's own socket", "abc", true, false, false},
};

class AnsweringTest : public ::testing::TestWithParam<Answering> {};

TEST_P(AnsweringTest, EchoRepliesAndOwnSocketsAreNeverAnswered) {
    const Answering& row = GetParam();
    EXPECT_EQ(app::IsEchoReply(row.datagram), row.echoReply);
    EXPECT_EQ(app::AnswersDatagram(row.datagram, row.fromOwnSocket), row.answered);
}

INSTANTIATE_TEST_SUITE_P(Table, AnsweringTest, ::testing::ValuesIn(kAnswering),
                         [](const auto& info) { return std::to_string(info.index); });

struct Reply {
    const char* label;
    std::string host, datagram, reply;
    friend void PrintTo(const Reply& row, std::ostream* os) { *os << row.label; }
};

const Reply kReplies[] = {
    {"abc on PC1: 25 bytes", "PC1", "abc", "Replied from PC1 to \"abc\""},
    {"empty: two quotation marks", "PC1", "", "Replied from PC1 to \"\""},
    {"NUL and line ends carried", "h", "a\0b\r\n"s, "Replied from h to \"a\0b\r\n\""s},
    {"host name in code page 1251", "\xF1\xF2\xE5\xED\xE4", "1",
     "Replied from \xF1\xF2\xE5\xED\xE4 to \"1\""},
};

class ReplyTest : public ::testing::TestWithParam<Reply> {};

TEST_P(ReplyTest, ReplyIsTheTextByteForByte) {
    const Reply& row = GetParam();
    EXPECT_EQ(app::EchoReply(row.host, row.datagram), row.reply);
    // A reply is an echo reply itself, so that a listener never answers it.
    EXPECT_TRUE(app::IsEchoReply(app::EchoReply(row.host, row.datagram)));
}

INSTANTIATE_TEST_SUITE_P(Table, ReplyTest, ::testing::ValuesIn(kReplies),
                         [](const auto& info) { return std::to_string(info.index); });

struct Online {
    const char* address;
    bool online;
};

TEST(IsOnlineAddressTest, LoopbackAndNothingAreOffline) {
    const Online rows[] = {
        {"10.0.0.5", true},
        {"127.0.0.2", true},
        {"127.0.0.1", false},
        {"", false},
    };
    for (const Online& row : rows) {
        EXPECT_EQ(app::IsOnlineAddress(row.address), row.online) << '"' << row.address << '"';
    }
}

TEST(DottedAddressesTest, KeepsResolverOrderAndEveryEntry) {
    std::vector<in_addr> addresses;
    for (const char* dotted :
         {"192.168.1.7", "10.0.0.5", "10.0.0.5", "0.0.0.0", "255.255.255.255"}) {
        in_addr a{};
        inet_pton(AF_INET, dotted, &a);
        addresses.push_back(a);
    }
    EXPECT_EQ(app::DottedAddresses(addresses),
              (std::vector<std::string>{"192.168.1.7", "10.0.0.5", "10.0.0.5", "0.0.0.0",
                                        "255.255.255.255"}));
    EXPECT_TRUE(app::DottedAddresses({}).empty());
}

}  // namespace
