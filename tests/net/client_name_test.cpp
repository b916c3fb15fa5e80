#include "net/client_name.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct Naming {
    const char* label;
    std::string host;
    std::string name;
    friend void PrintTo(const Naming& row, std::ostream* os) { *os << row.label; }
};

class ClientNameTest : public ::testing::TestWithParam<Naming> {};

TEST_P(ClientNameTest, NameFromTheHostText) {
    EXPECT_EQ(net::ClientName(net::HostTag(GetParam().host)), GetParam().name);
}

// clang-format off
const Naming kNamings[] = {
    {"dotted_address",        "192.168.119.141", "Client192_168_119_141"},
    {"each_replaced_char",    " _.,!?",          "Client______"},
    {"space_and_comma",       "my host,1",       "Clientmy_host_1"},
    {"others_stay",           "my-host:8/\t;",   "Clientmy-host:8/\t;"},
    {"code_page_bytes_stay",  "\xCF\xCA.1",      "Client\xCF\xCA_1"},
    {"empty",                 "",                "Client"},
    {"static_clients_name",   "1",               "Client1"},
    {"nul_byte_stays",        std::string("a\0b", 3), std::string("Clienta\0b", 9)},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, ClientNameTest, ::testing::ValuesIn(kNamings),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
