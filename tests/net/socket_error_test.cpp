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
    {"w10009", 10009, "Bad file number."},
    {"w10013", 10013, "Access denied."},
    {"w10014", 10014, "Bad address."},
    {"w10022", 10022, "Invalid argument."},
    {"w10024", 10024, "Too many open files."},
    {"w10035_ends_in_a_space", 10035, "Operation would block. "},
    {"w10036", 10036, "Operation now in progress."},
    {"w10037", 10037, "Operation already in progress."},
    {"w10038", 10038, "Socket operation on non-socket."},
    {"w10039", 10039, "Destination address required."},
    {"w10040", 10040, "Message too long."},
    {"w10041", 10041, "Protocol wrong type for socket."},
    {"w10042", 10042, "Bad protocol option."},
    {"w10043", 10043, "Protocol not supported."},
    {"w10044", 10044, "Socket type not supported."},
    {"w10045", 10045, "Operation not supported on socket."},
    {"w10046", 10046, "Protocol family not supported."},
    {"w10047", 10047, "Address family not supported by protocol family."},
    {"w10048", 10048, "Address already in use."},
    {"w10049", 10049, "Cannot assign requested address."},
    {"w10050", 10050, "Network is down."},
    {"w10051", 10051, "Network is unreachable."},
    {"w10052", 10052, "Net dropped connection or reset."},
    {"w10053", 10053, "Software caused connection abort."},
    {"w10054", 10054, "Connection reset by peer."},
    {"w10055", 10055, "No buffer space available."},
    {"w10056", 10056, "Socket is already connected."},
    {"w10057", 10057, "Socket is not connected."},
    {"w10058", 10058, "Cannot send or receive after socket is closed."},
    {"w10059", 10059, "Too many references, cannot splice."},
    {"w10060", 10060, "Connection timed out."},
    {"w10061", 10061, "Connection refused."},
    {"w10062", 10062, "Too many levels of symbolic links."},
    {"w10063", 10063, "File name too long."},
    {"w10064", 10064, "Host is down."},
    {"w10065", 10065, "No route to host."},
    {"w10066_no_full_stop", 10066, "Directory not empty"},
    {"w11001_host_not_found", 11001, "Host not found."},
    // Numbers outside the table: the second line stays empty.
    {"w11004_other_lookup_failure", 11004, ""},
    {"w11002_try_again", 11002, ""},
    {"w10067_just_past_the_table", 10067, ""},
    {"w10003_just_before_it", 10003, ""},
    {"w10010_gap_in_the_table", 10010, ""},
    {"zero", 0, ""},
    {"negative", -1, ""},
    {"raw_errno", 98, ""},
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
    {"EINTR", EINTR, 10004},
    {"EBADF", EBADF, 10009},
    {"EACCES", EACCES, 10013},
    {"EPERM_firewall_refusal", EPERM, 10013},
    {"EFAULT", EFAULT, 10014},
    {"EINVAL", EINVAL, 10022},
    {"EMFILE", EMFILE, 10024},
    {"EWOULDBLOCK", EWOULDBLOCK, 10035},
    {"EAGAIN", EAGAIN, 10035},
    {"EINPROGRESS", EINPROGRESS, 10036},
    {"EALREADY", EALREADY, 10037},
    {"ENOTSOCK", ENOTSOCK, 10038},
    {"EDESTADDRREQ", EDESTADDRREQ, 10039},
    {"EMSGSIZE", EMSGSIZE, 10040},
    {"EPROTOTYPE", EPROTOTYPE, 10041},
    {"ENOPROTOOPT", ENOPROTOOPT, 10042},
    {"EPROTONOSUPPORT", EPROTONOSUPPORT, 10043},
    {"ESOCKTNOSUPPORT", ESOCKTNOSUPPORT, 10044},
    {"EOPNOTSUPP", EOPNOTSUPP, 10045},
    {"EPFNOSUPPORT", EPFNOSUPPORT, 10046},
    {"EAFNOSUPPORT", EAFNOSUPPORT, 10047},
    {"EADDRINUSE", EADDRINUSE, 10048},
    {"EADDRNOTAVAIL", EADDRNOTAVAIL, 10049},
    {"ENETDOWN", ENETDOWN, 10050},
    {"ENETUNREACH", ENETUNREACH, 10051},
    {"ENETRESET", ENETRESET, 10052},
    {"ECONNABORTED", ECONNABORTED, 10053},
    {"ECONNRESET", ECONNRESET, 10054},
    {"ENOBUFS", ENOBUFS, 10055},
    {"EISCONN", EISCONN, 10056},
    {"ENOTCONN", ENOTCONN, 10057},
    {"ESHUTDOWN", ESHUTDOWN, 10058},
    {"EPIPE_send_after_the_end", EPIPE, 10058},
    {"ETOOMANYREFS", ETOOMANYREFS, 10059},
    {"ETIMEDOUT", ETIMEDOUT, 10060},
    {"ECONNREFUSED", ECONNREFUSED, 10061},
    {"ELOOP", ELOOP, 10062},
    {"ENAMETOOLONG", ENAMETOOLONG, 10063},
    {"EHOSTDOWN", EHOSTDOWN, 10064},
    {"EHOSTUNREACH", EHOSTUNREACH, 10065},
    {"ENOTEMPTY", ENOTEMPTY, 10066},
    // Without a Windows counterpart the errno comes back as it is.
    {"ENOENT_unmapped", ENOENT, ENOENT},
    {"EIO_unmapped", EIO, EIO},
    {"EDEADLK_unmapped", EDEADLK, EDEADLK},
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
