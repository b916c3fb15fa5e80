#include "net/host_info.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"

namespace {

bool InNamespace() {
    const char* v = std::getenv("ORVAN_NETNS");
    return v != nullptr && std::string(v) == "1";
}

// The same name's addresses through the older resolver call, which knows no socket types.
std::vector<std::string> AddressesByHostent(const std::string& name) {
    std::vector<std::string> list;
    const hostent* h = gethostbyname(name.c_str());
    if (h == nullptr || h->h_addrtype != AF_INET) return list;
    for (char** a = h->h_addr_list; *a != nullptr; ++a) {
        in_addr addr;
        std::memcpy(&addr, *a, sizeof addr);
        list.push_back(inet_ntoa(addr));
    }
    return list;
}

TEST(LocalHostName, IsTheNameTheSystemReports) {
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    const std::string name = net::LocalHostName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\0'), std::string::npos);
    EXPECT_EQ(name, u.nodename);
}

TEST(LocalAddressList, ListsTheAddressesOfTheHostNameOnceEachInResolverOrder) {
    const std::vector<std::string> list = net::LocalAddressList();
    ASSERT_FALSE(list.empty());
    for (const std::string& a : list) {
        in_addr parsed{};
        ASSERT_EQ(inet_pton(AF_INET, a.c_str(), &parsed), 1) << a;
        EXPECT_EQ(std::string(inet_ntoa(parsed)), a) << "not plain dotted decimal";
    }
    EXPECT_EQ(list, AddressesByHostent(net::LocalHostName()));
}

TEST(HostAddressList, GivesLocalhostOnceNotOncePerSocketType) {
    const auto list = net::HostAddressList("localhost");
    EXPECT_EQ(std::count(list.begin(), list.end(), std::string("127.0.0.1")), 1);
}

struct Failure {
    const char* label;
    std::string name;
    std::string text;
    friend void PrintTo(const Failure& row, std::ostream* os) { *os << row.label; }
};

class HostAddressListFailureTest : public ::testing::TestWithParam<Failure> {};

TEST_P(HostAddressListFailureTest, RaisesTheLookupError) {
    if (!InNamespace())
        GTEST_SKIP() << "needs ORVAN_NETNS=1 (a lookup would query the real resolver)";
    try {
        const auto list = net::HostAddressList(GetParam().name);
        FAIL() << "resolved to " << list.size() << " addresses";
    } catch (const base::Error& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().text);
    }
}

const Failure kFailures[] = {
    // All digits and dots but not an address: the resolver knows at once it does not exist.
    {"five_part_dotted", "1.2.3.4.5", "Socket Error # 11001\r\nHost not found."},
    {"empty_name", "", "Socket Error # 11001\r\nHost not found."},
    // No name server can be reached in the namespace: a failure other than "not found".
    {"name_server_unreachable", "no-such-host.invalid", "Socket Error # 11004\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, HostAddressListFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
