// Which addresses count as the host's own: the name's lookup, or the interfaces that are up.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/env.h"
#include "app/ip_watch.h"

namespace {

using List = std::vector<std::string>;

std::vector<in_addr> Parsed(const List& dotted) {
    std::vector<in_addr> parsed;
    for (const std::string& text : dotted) {
        in_addr address{};
        inet_pton(AF_INET, text.c_str(), &address);
        parsed.push_back(address);
    }
    return parsed;
}

TEST(OwnAddressListTest, TheNameUnlessItGivesLoopbackAlone) {
    struct Row {
        const char* what;
        int error;
        List resolved;
        std::optional<List> up;  // nullopt: the interfaces cannot be listed
        int wantError;
        List want;
        bool asksInterfaces;
    };
    const Row rows[] = {
        {"the name's own addresses",
         0,
         {"192.168.1.10", "10.0.0.10"},
         List{"10.9.9.9"},
         0,
         {"192.168.1.10", "10.0.0.10"},
         false},
        {"one outside loopback is enough",
         0,
         {"127.0.1.1", "10.0.0.5"},
         List{"10.9.9.9"},
         0,
         {"127.0.1.1", "10.0.0.5"},
         false},
        {"Debian's 127.0.1.1, one up",
         0,
         {"127.0.1.1"},
         List{"10.200.0.1"},
         0,
         {"10.200.0.1"},
         true},
        {"two up, in the system's order",
         0,
         {"127.0.1.1"},
         List{"10.201.0.1", "10.200.0.1"},
         0,
         {"10.201.0.1", "10.200.0.1"},
         true},
        {"none up", 0, {"127.0.1.1"}, List{}, 0, {"127.0.0.1"}, true},
        {"loopback among the interfaces left out",
         0,
         {"127.0.0.1", "127.0.1.1"},
         List{"127.0.0.2", "10.1.1.1"},
         0,
         {"10.1.1.1"},
         true},
        {"only loopback among the interfaces",
         0,
         {"127.0.1.1"},
         List{"127.0.0.2"},
         0,
         {"127.0.0.1"},
         true},
        {"failed on a host with none up", 11001, {}, List{}, 0, {"127.0.0.1"}, true},
        {"failed on a networked host stays failed", 11001, {}, List{"10.200.0.1"}, 11001, {}, true},
        {"interfaces unknown: the lookup stands",
         0,
         {"127.0.1.1"},
         std::nullopt,
         0,
         {"127.0.1.1"},
         true},
        {"interfaces unknown: the failure stands", 11004, {}, std::nullopt, 11004, {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        net::LookupResult resolved;
        resolved.error = row.error;
        resolved.addresses = Parsed(row.resolved);
        int asked = 0;
        const net::LookupResult got = app::OwnAddressList(resolved, [&] {
            ++asked;
            return row.up ? std::optional(Parsed(*row.up)) : std::nullopt;
        });
        EXPECT_EQ(got.error, row.wantError);
        EXPECT_EQ(app::DottedAddresses(got.addresses), row.want);
        EXPECT_EQ(asked, row.asksInterfaces ? 1 : 0);
    }
}

}  // namespace
