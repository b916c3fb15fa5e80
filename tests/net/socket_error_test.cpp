#include "net/socket_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

namespace {

struct Description {
    const char* label;
    int wsa;
    std::string text;
    friend void PrintTo(const Description& row, std::ostream* os) { *os << row.label; }
};

class SocketErrorDescriptionTest : public ::testing::TestWithParam<Description> {};

TEST_P(SocketErrorDescriptionTest, DescribesTheNumberAndFormatsTheError) {
    const Description& d = GetParam();
    EXPECT_EQ(net::SocketErrorDescription(d.wsa), d.text);
    EXPECT_EQ(std::string(net::SocketError(d.wsa).what()),
              "Socket Error # " + std::to_string(d.wsa) + "\r\n" + d.text);
}

const Description kDescriptions[] = {
    {"w10004", 10004, "Interrupted system call."},
    {"w10035_ends_in_a_space", 10035, "Operation would block. "},
    {"w10048", 10048, "Address already in use."},
    {"w10058", 10058, "Cannot send or receive after socket is closed."},
    {"w10061", 10061, "Connection refused."},
    {"w10066_no_full_stop", 10066, "Directory not empty"},
    {"w11001_host_not_found", 11001, "Host not found."},
    // Numbers outside the table: the second line stays empty.
    {"w11004_other_lookup_failure", 11004, ""},
    {"w10067_just_past_the_table", 10067, ""},
    {"w10003_just_before_it", 10003, ""},
    {"w10010_gap_in_the_table", 10010, ""},
};

INSTANTIATE_TEST_SUITE_P(Table, SocketErrorDescriptionTest, ::testing::ValuesIn(kDescriptions),
                         [](const auto& info) { return std::string(info.param.label); });

struct Mapping {
    const char* label;
    int err;
    int wsa;
    friend void PrintTo(const Mapping& row, std::ostream* os) { *os << row.label; }
};

class WsaFromErrnoTest : public ::testing::TestWithParam<Mapping> {};

TEST_P(WsaFromErrnoTest, GivesTheWindowsNumber) {
    EXPECT_EQ(net::WsaFromErrno(GetParam().err), GetParam().wsa);
}

const Mapping kMappings[] = {
    {"EACCES", EACCES, 10013},
    {"EPERM_firewall_refusal", EPERM, 10013},
    {"EAGAIN", EAGAIN, 10035},
    {"EADDRINUSE", EADDRINUSE, 10048},
    {"EPIPE_send_after_the_end", EPIPE, 10058},
    {"ECONNREFUSED", ECONNREFUSED, 10061},
    {"ENOTEMPTY", ENOTEMPTY, 10066},
    // Without a Windows counterpart the errno comes back as it is.
    {"ENOENT_unmapped", ENOENT, ENOENT},
    {"zero", 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, WsaFromErrnoTest, ::testing::ValuesIn(kMappings),
                         [](const auto& info) { return std::string(info.param.label); });

// An unmapped errno must never borrow the description of a Windows number.
TEST(WsaFromErrnoRange, EveryErrnoIsMappedIntoTheWindowsRangeOrLeftAsItIs) {
    for (int err = 1; err < 200; ++err) {
        const int wsa = net::WsaFromErrno(err);
        if (wsa == err) {
            EXPECT_EQ(net::SocketErrorDescription(wsa), "") << "errno " << err;
        } else {
            EXPECT_GE(wsa, 10004) << "errno " << err;
            EXPECT_LE(wsa, 10071) << "errno " << err;
        }
    }
}

// The TCP clients' formats take their description from the same table.
TEST(TcpSocketErrorTexts, FormatsGiveTheNumberTheDescriptionAndTheCall) {
    EXPECT_STREQ(net::WindowsSocketError(10061, "connect").what(),
                 "Windows socket error: Connection refused. (10061), on API 'connect'");
    EXPECT_STREQ(net::WindowsSocketError(11004, "ASync Lookup").what(),
                 "Windows socket error: Valid name, no data record of requested type. (11004), "
                 "on API 'ASync Lookup'");
    EXPECT_STREQ(net::AsyncSocketError(10054).what(), "Asynchronous socket error 10054");
}

// The system's text has a fallback for every number: the TCP formats never show it empty
// (the UDP format keeps the empty description, see the first table).
struct Fallback {
    const char* label;
    int number;
    std::string text;
    friend void PrintTo(const Fallback& row, std::ostream* os) { *os << row.label; }
};

class SystemErrorTextTest : public ::testing::TestWithParam<Fallback> {};

TEST_P(SystemErrorTextTest, NeverEmpty) {
    EXPECT_EQ(net::SystemErrorText(GetParam().number), GetParam().text);
    EXPECT_STREQ(net::WindowsSocketError(GetParam().number, "recv").what(),
                 ("Windows socket error: " + GetParam().text + " (" +
                  std::to_string(GetParam().number) + "), on API 'recv'")
                     .c_str());
}

const Fallback kFallbacks[] = {
    {"in_the_table", 10054, "Connection reset by peer."},
    {"lookup_no_data", 11004, "Valid name, no data record of requested type."},
    {"lookup_try_again", 11002, "Nonauthoritative host not found."},
    {"lookup_no_recovery", 11003, "This is a nonrecoverable error."},
    {"listed_without_description", 10068, std::strerror(EUSERS)},
    {"system_number_without_counterpart", EIO, std::strerror(EIO)},
    {"unknown", 12345, "Unknown error."},
};

INSTANTIATE_TEST_SUITE_P(Table, SystemErrorTextTest, ::testing::ValuesIn(kFallbacks),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
