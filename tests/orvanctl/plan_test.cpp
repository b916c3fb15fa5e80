// The JSON orvanctl reads and writes: plans, `set --from` objects, the settings it prints,
// and the code page 1251 text inside them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "config/codec.h"
#include "orvanctl/plan.h"
#include "orvanctl/text.h"

namespace {

// Names each table row after its label in failure texts.
template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}

using device::Setting;

const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

struct PlanCase {
    const char* label;
    std::string plan;
    std::vector<std::string> entries;  // "address name=value ..." per entry
    std::string error = {};            // the whole message when refused
};

std::string Describe(const orvanctl::PlanEntry& e) {
    std::string text = device::FormatDotted(e.address);
    for (Setting s : device::kAllSettings)
        if (e.wanted[s]) text += " " + std::string(device::Name(s)) + "=" + *e.wanted[s];
    return text;
}

class PlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, ChecksEveryEntryBeforeAnythingIsSent) {
    const PlanCase& c = GetParam();
    try {
        std::vector<std::string> got;
        for (const auto& e : orvanctl::ParsePlan(c.plan, 4000)) got.push_back(Describe(e));
        EXPECT_TRUE(c.error.empty()) << "no error";
        EXPECT_EQ(got, c.entries);
    } catch (const base::Error& e) {
        EXPECT_EQ(e.what(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plan, PlanTest,
    ::testing::Values(
        PlanCase{"empty", "[]", {}},
        PlanCase{"every_setting",
                 R"([{"address": "10.0.0.2", "telemetry_port": 7000, "h323_port": "7001",
                      "gateway": "10.0.0.1", "ip": "10.0.0.20", "controller": "10.0.0.9",
                      "mask": "255.255.255.0", "mac": "AA-BB"}])",
                 {"10.0.0.2 telemetry_port=7000 h323_port=7001 gateway=10.0.0.1 ip=10.0.0.20 "
                  "controller=10.0.0.9 mask=255.255.255.0 mac=AA-BB"}},
        PlanCase{"address_only_and_nulls",
                 R"([{"address": "10.0.0.2"}, {"address": "10.0.0.3", "mask": null}])",
                 {"10.0.0.2", "10.0.0.3"}},
        PlanCase{"get_json_object_as_entry",
                 R"([{"address": "10.0.0.2", "port": 4000, "telemetry_port": 6024,
                      "h323_port": 6025, "gateway": "1.2.3.4", "ip": "1.2.3.5",
                      "controller": "1.2.3.6", "mask": "255.0.0.0", "mac": "M",
                      "missing": []}])",
                 {"10.0.0.2 telemetry_port=6024 h323_port=6025 gateway=1.2.3.4 ip=1.2.3.5 "
                  "controller=1.2.3.6 mask=255.0.0.0 mac=M"}},
        PlanCase{"cyrillic_mac_to_cp1251",
                 R"([{"address": "10.0.0.2", "mac": "Яя"}])",
                 {"10.0.0.2 mac=\xDF\xFF"}},
        PlanCase{"not_an_array",
                 R"({"address": "10.0.0.2"})",
                 {},
                 "plan: expected a JSON array of objects"},
        PlanCase{"entry_not_an_object",
                 R"([{"address": "10.0.0.2"}, 5])",
                 {},
                 "plan entry 2: not a JSON object"},
        PlanCase{"no_address", R"([{"mask": "255.0.0.0"}])", {}, "plan entry 1: no \"address\""},
        PlanCase{"bad_address",
                 R"([{"address": "10.0.0"}])",
                 {},
                 "plan entry 1: address: '10.0.0' is not an address of four parts 0 to 255"},
        PlanCase{"address_twice",
                 R"([{"address": "10.0.0.2"}, {"address": "010.0.0.2"}])",
                 {},
                 "plan entry 2 (010.0.0.2): the address comes twice"},
        PlanCase{"unknown_setting",
                 R"([{"address": "10.0.0.2", "colour": "red"}])",
                 {},
                 "plan entry 1 (10.0.0.2): unknown setting 'colour'"},
        PlanCase{"port_out_of_range",
                 R"([{"address": "10.0.0.2", "h323_port": 0}])",
                 {},
                 "plan entry 1 (10.0.0.2): h323_port: '0' is not a port number (1 to 65535)"},
        PlanCase{"port_as_fraction",
                 R"([{"address": "10.0.0.2", "h323_port": 80.5}])",
                 {},
                 "plan entry 1 (10.0.0.2): h323_port: 80.5 is neither text nor a number"},
        PlanCase{"bad_mask",
                 R"([{"address": "10.0.0.2", "mask": "255.255.0"}])",
                 {},
                 "plan entry 1 (10.0.0.2): mask: '255.255.0' is not an address of four parts 0 "
                 "to 255"},
        PlanCase{"mac_with_bracket",
                 R"([{"address": "10.0.0.2", "mac": "a>b"}])",
                 {},
                 "plan entry 1 (10.0.0.2): mac: 'a>b' holds '>', which would end the command"},
        PlanCase{"mac_outside_cp1251",
                 R"([{"address": "10.0.0.2", "mac": "日本"}])",
                 {},
                 "plan entry 1 (10.0.0.2): mac: a character code page 1251 lacks"},
        PlanCase{"other_device_port",
                 R"([{"address": "10.0.0.2", "port": 4001}])",
                 {},
                 "plan entry 1 (10.0.0.2): port: 4001 is not the device port 4000 in use (see "
                 "--port)"}),
    kLabel);

// The JSON error text comes from the library; only its start is ours.
TEST(Plan, NotJsonSaysSo) {
    try {
        orvanctl::ParsePlan("[{", 4000);
        ADD_FAILURE() << "no error";
    } catch (const base::Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("plan: not JSON: ", 0), 0u) << e.what();
    }
}

// What get --json prints, read back by set --from, names every setting with its value.
TEST(Plan, GetJsonRoundTrip) {
    const std::string reply =
        "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#\xCC\xC0\xCA-1>";
    const device::Settings read = device::FromReply(config::ParseConfigReply(reply));
    const auto json = orvanctl::SettingsJson(0x0A000002, 4000, read);
    EXPECT_EQ(json.dump(),
              R"({"address":"10.0.0.2","port":4000,"telemetry_port":6024,"h323_port":6025,)"
              R"("gateway":"192.168.119.1","ip":"192.168.119.141","controller":"192.168.119.240",)"
              R"("mask":"255.255.255.0","mac":"МАК-1"})");
    EXPECT_EQ(orvanctl::WantedSettings(nlohmann::ordered_json::parse(json.dump()), 4000, "file"),
              read);
}

TEST(Plan, PartialReadingListsWhatIsMissing) {
    const device::Settings read =
        device::FromReply(config::ParseConfigReply("<1788#1789#C0.A8.77.1>"));
    EXPECT_EQ(orvanctl::SettingsJson(0x0A000002, 4000, read).dump(),
              R"({"address":"10.0.0.2","port":4000,"telemetry_port":6024,"h323_port":6025,)"
              R"("gateway":null,"ip":null,"controller":null,"mask":null,"mac":"1",)"
              R"("missing":["gateway","ip","controller","mask"]})");
}

TEST(Text, EveryCp1251ByteRoundTripsThroughUtf8) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, char(b));
        EXPECT_EQ(orvanctl::Cp1251FromUtf8(orvanctl::Utf8FromCp1251(byte)), byte) << b;
    }
}

struct Utf8Case {
    const char* label;
    std::string utf8;
    std::optional<std::string> cp1251;
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, MapsOrRefuses) {
    EXPECT_EQ(orvanctl::Cp1251FromUtf8(GetParam().utf8), GetParam().cp1251);
}

INSTANTIATE_TEST_SUITE_P(Text, Utf8Test,
                         ::testing::Values(Utf8Case{"ascii", "AA-BB", "AA-BB"},
                                           Utf8Case{"cyrillic", "Ёё Ўў", "\xA8\xB8 \xA1\xA2"},
                                           Utf8Case{"euro_and_numero", "€№", "\x88\xB9"},
                                           Utf8Case{"not_in_cp1251", "ä", std::nullopt},
                                           Utf8Case{"cut_sequence", "\xD0", std::nullopt},
                                           Utf8Case{"overlong_slash", "\xC0\xAF", std::nullopt},
                                           Utf8Case{"bare_continuation", "\x80", std::nullopt}),
                         kLabel);

}  // namespace
