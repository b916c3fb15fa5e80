// The JSON orvanctl reads and writes: plans, `set --from` objects, the settings it prints,
// and the code page 1251 text inside them.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "config/codec.h"
#include "device/csv.h"
#include "device/port.h"
#include "formats/plan.h"
#include "formats/text.h"

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

std::string Describe(const formats::PlanEntry& e) {
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
        for (const auto& e : formats::ParsePlan(c.plan, 4000)) got.push_back(Describe(e));
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
                 "plan refused, nothing sent:\n  the address 10.0.0.2 comes more than once: "
                 "plan entry 1 (10.0.0.2), plan entry 2 (010.0.0.2)"},
        PlanCase{"unknown_setting",
                 R"([{"address": "10.0.0.2", "colour": "red"}])",
                 {},
                 "plan entry 1 (10.0.0.2): unknown setting 'colour'; the valid names: address, "
                 "port, telemetry_port, h323_port, gateway, ip, controller, mask, mac"},
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
                 "--port)"},
        // Plans that would give two devices one identity: refused whole, every entry named.
        PlanCase{"same_new_ip_twice",
                 R"([{"address": "10.0.0.2", "ip": "10.0.0.50"}, {"address": "10.0.0.3"},
                     {"address": "10.0.0.4", "ip": "10.0.0.50"}])",
                 {},
                 "plan refused, nothing sent:\n  one new ip 10.0.0.50 for several devices: plan "
                 "entry 1 (10.0.0.2), plan entry 3 (10.0.0.4)"},
        PlanCase{"new_ip_of_a_device_that_keeps_it",
                 R"([{"address": "10.0.0.2", "ip": "10.0.0.3"},
                     {"address": "10.0.0.3", "mask": "255.0.0.0"}])",
                 {},
                 "plan refused, nothing sent:\n  the new ip 10.0.0.3 of plan entry 1 (10.0.0.2) "
                 "is the address of plan entry 2 (10.0.0.3), which keeps it"},
        PlanCase{"new_ip_of_a_device_that_keeps_it_by_name",
                 R"([{"address": "10.0.0.2", "ip": "10.0.0.3"},
                     {"address": "10.0.0.3", "ip": "10.0.0.3"}])",
                 {},
                 "plan refused, nothing sent:\n  the new ip 10.0.0.3 of plan entry 1 (10.0.0.2) "
                 "is the address of plan entry 2 (10.0.0.3), which keeps it"},
        PlanCase{"swap_of_addresses_allowed",
                 R"([{"address": "10.0.0.2", "ip": "10.0.0.3"},
                     {"address": "10.0.0.3", "ip": "10.0.0.2"}])",
                 {"10.0.0.2 ip=10.0.0.3", "10.0.0.3 ip=10.0.0.2"}},
        PlanCase{"every_conflict_listed",
                 R"([{"address": "10.0.0.2", "ip": "10.0.0.9", "mac": "Ж-1"},
                     {"address": "10.0.0.3", "ip": "10.0.0.9", "mac": "Ж-1"},
                     {"address": "10.0.0.2"}])",
                 {},
                 "plan refused, nothing sent:\n"
                 "  the address 10.0.0.2 comes more than once: plan entry 1 (10.0.0.2), plan "
                 "entry 3 (10.0.0.2)\n"
                 "  one new ip 10.0.0.9 for several devices: plan entry 1 (10.0.0.2), plan entry "
                 "2 (10.0.0.3)\n"
                 "  one mac 'Ж-1' for several devices: plan entry 1 (10.0.0.2), plan entry 2 "
                 "(10.0.0.3)"},
        // Values beyond what the library or the device takes.
        PlanCase{"number_beyond_a_double",
                 R"([{"address": "10.0.0.2", "h323_port": 1e400}])",
                 {},
                 "plan: a number too large: number overflow parsing '1e400'"},
        PlanCase{"largest_unsigned_not_minus_one",
                 R"([{"address": "10.0.0.2", "h323_port": 18446744073709551615}])",
                 {},
                 "plan entry 1 (10.0.0.2): h323_port: '18446744073709551615' is not a port "
                 "number (1 to 65535)"},
        PlanCase{"largest_unsigned_port",
                 R"([{"address": "10.0.0.2", "port": 18446744073709551615}])",
                 {},
                 "plan entry 1 (10.0.0.2): port: 18446744073709551615 is not the device port "
                 "4000 in use (see --port)"},
        PlanCase{"address_key_twice",
                 R"([{"address": "10.0.0.2", "mask": "255.0.0.0", "address": "10.0.0.3"}])",
                 {},
                 "plan: the key \"address\" comes twice in one object"},
        PlanCase{"mac_longer_than_the_device_takes",
                 R"([{"address": "10.0.0.2", "mac": ")" + std::string(8133, 'A') + R"("}])",
                 {},
                 "plan entry 1 (10.0.0.2): mac: the MAC text is 8133 bytes, longer than 8132 (a "
                 "reply holds no longer one)"},
        PlanCase{"longest_mac",
                 R"([{"address": "10.0.0.2", "mac": ")" + std::string(8132, 'A') + R"("}])",
                 {"10.0.0.2 mac=" + std::string(8132, 'A')}},
        PlanCase{"backup_file_notes_skipped",
                 R"([{"address": "10.0.0.2", "read_at": "2026-12-07T20:00:00+00:00",
                      "partial": true, "missing": ["ip"], "mask": "255.0.0.0"}])",
                 {"10.0.0.2 mask=255.0.0.0"}}),
    kLabel);

TEST(Plan, LargerThanTheBoundIsRefusedUnread) {
    const std::string plan = "[" + std::string(formats::kMostPlanBytes, ' ') + "]";
    try {
        formats::ParsePlan(plan, 4000);
        ADD_FAILURE() << "no error";
    } catch (const base::Error& e) {
        EXPECT_STREQ(e.what(), "plan: larger than 16 MiB");
    }
    const std::string atTheBound = "[" + std::string(formats::kMostPlanBytes - 2, ' ') + "]";
    EXPECT_NO_THROW(formats::ParsePlan(atTheBound, 4000)) << "one byte less parses";
}

// CSV plans: the same entries and refusals as JSON, from a spreadsheet's rows.
class CsvPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(CsvPlanTest, ReadsRowsAsEntries) {
    const PlanCase& c = GetParam();
    try {
        std::vector<std::string> got;
        for (const auto& e : formats::ParseCsvPlan(c.plan, 4000)) got.push_back(Describe(e));
        EXPECT_TRUE(c.error.empty()) << "no error";
        EXPECT_EQ(got, c.entries);
    } catch (const base::Error& e) {
        EXPECT_EQ(e.what(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plan, CsvPlanTest,
    ::testing::Values(
        PlanCase{
            "scan_csv_edited",
            "\xEF\xBB\xBF"
            "address,port,telemetry_port,h323_port,gateway,ip,controller,mask,mac\r\n"
            "10.0.0.2,4000,7000,,,10.0.0.20,,,\"Ж,1\"\r\n"
            "10.0.0.3,,,7001\r\n",
            {"10.0.0.2 telemetry_port=7000 ip=10.0.0.20 mac=\xC6,1", "10.0.0.3 h323_port=7001"}},
        PlanCase{"blank_line_skipped",
                 "address,mask\n\n10.0.0.2,255.0.0.0\n",
                 {"10.0.0.2 mask=255.0.0.0"}},
        PlanCase{"row_longer_than_the_header",
                 "address,mask\n10.0.0.2,255.0.0.0,x\n",
                 {},
                 "plan entry 1: 3 cells, more than the header's 2"},
        PlanCase{"unknown_column",
                 "address,colour\n",
                 {},
                 "plan: unknown column 'colour'; the valid names: address, port, "
                 "telemetry_port, h323_port, gateway, ip, controller, mask, mac"},
        PlanCase{"address_not_first",
                 "mask,address\n",
                 {},
                 "plan: the header row must begin with \"address\""},
        PlanCase{"bad_port_cell",
                 "address,h323_port\n10.0.0.2,70000\n",
                 {},
                 "plan entry 1 (10.0.0.2): h323_port: '70000' is not a port number (1 to 65535)"},
        PlanCase{"open_quote",
                 "address,mac\n10.0.0.2,\"AA\n",
                 {},
                 "plan: CSV line 2: a quoted field is never closed"}),
    kLabel);

// The JSON error text comes from the library; only its start is ours.
TEST(Plan, NotJsonSaysSo) {
    try {
        formats::ParsePlan("[{", 4000);
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
    const auto json = formats::SettingsJson(0x0A000002, 4000, read);
    EXPECT_EQ(json.dump(),
              R"({"address":"10.0.0.2","port":4000,"telemetry_port":6024,"h323_port":6025,)"
              R"("gateway":"192.168.119.1","ip":"192.168.119.141","controller":"192.168.119.240",)"
              R"("mask":"255.255.255.0","mac":"МАК-1"})");
    EXPECT_EQ(formats::WantedSettings(nlohmann::ordered_json::parse(json.dump()), 4000, "file"),
              read);
}

TEST(Plan, PartialReadingListsWhatIsMissing) {
    const device::Settings read =
        device::FromReply(config::ParseConfigReply("<1788#1789#C0.A8.77.1>"));
    EXPECT_EQ(formats::SettingsJson(0x0A000002, 4000, read).dump(),
              R"({"address":"10.0.0.2","port":4000,"telemetry_port":6024,"h323_port":6025,)"
              R"("gateway":null,"ip":null,"controller":null,"mask":null,"mac":"1",)"
              R"("partial":true,"missing":["gateway","ip","controller","mask"]})");
}

// A port FFFFFFFF or an address part FFFF is null and named with the reply's text, never -1
// or 65535.250.0.1; set --from reads such a file back without the note.
TEST(Plan, AValueOutOfRangeIsNamedNotShown) {
    const device::ParsedReply parsed =
        device::ParseReply("<FFFFFFFF#1789#FFFF.FA.0.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#M>");
    const auto json = formats::SettingsJson(0x0A000002, 4000, parsed.settings, parsed.outOfRange);
    EXPECT_EQ(json.dump(),
              R"({"address":"10.0.0.2","port":4000,"telemetry_port":null,"h323_port":6025,)"
              R"("gateway":null,"ip":"192.168.119.141","controller":"192.168.119.240",)"
              R"("mask":"255.255.255.0","mac":"M","partial":true,)"
              R"("missing":["telemetry_port","gateway"],)"
              R"("out_of_range":{"telemetry_port":"FFFFFFFF","gateway":"FFFF.FA.0.1"}})");
    EXPECT_EQ(formats::WantedSettings(nlohmann::ordered_json::parse(json.dump()), 4000, "file"),
              parsed.settings);
}

// A result whose device texts are code page 1251 bytes still prints as one JSON line.
TEST(Plan, ResultJsonConvertsDeviceTextOnce) {
    device::Result r;
    r.address = 0x0A000002;
    r.outcome = device::Outcome::kVerifyFailed;
    r.before[Setting::kMac] = "\xC6\xC6-01";
    r.changes.push_back({Setting::kMac, "\xC6\xC6-01", "AA"});
    r.command = "<1#2#00.00.00.00#00.00.00.00#00.00.00.00#00.00.00.00#AA>";
    r.message = "verify: the device reports other settings: mac is \xC6\xC6-01, not AA";
    r.sent = {true, true, false};
    const std::string line = formats::Dump(formats::ResultJson(r, {{Setting::kIp, "why"}}));
    EXPECT_EQ(line,
              R"({"address":"10.0.0.2","result":"verify-failed","changes":[{"setting":"mac",)"
              R"("from":"ЖЖ-01","to":"AA"}],"before":{"telemetry_port":null,"h323_port":null,)"
              R"("gateway":null,"ip":null,"controller":null,"mask":null,"mac":"ЖЖ-01"},)"
              R"("command":"<1#2#00.00.00.00#00.00.00.00#00.00.00.00#00.00.00.00#AA>",)"
              R"("sent":{"request":true,"command":true,"time":false},"time_sent":false,)"
              R"("verified":false,"skipped":[{"setting":"ip","reason":"why"}],)"
              R"("message":"verify: the device reports other settings: mac is ЖЖ-01, not AA"})");
    EXPECT_EQ(formats::Dump(nlohmann::ordered_json("\xC6")), "\"\xEF\xBF\xBD\"")
        << "bytes that are not UTF-8 are replaced, not thrown on";
}

struct PrintableCase {
    const char* label;
    std::string bytes, shown;
};

class PrintableTest : public ::testing::TestWithParam<PrintableCase> {};

TEST_P(PrintableTest, ControlBytesEscaped) {
    EXPECT_EQ(formats::Printable(GetParam().bytes), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Text, PrintableTest,
                         ::testing::Values(PrintableCase{"cyrillic", "\xC6\xC6", "ЖЖ"},
                                           PrintableCase{"escape_sequence", "\x1B[2J", "\\x1B[2J"},
                                           PrintableCase{"forged_line", "A\r\n10.9.9.9 changed",
                                                         "A\\x0D\\x0A10.9.9.9 changed"},
                                           PrintableCase{"nul_and_del", std::string("a\0b\x7F", 4),
                                                         "a\\x00b\\x7F"},
                                           PrintableCase{"c1_stand_in", "\x98", "\\x98"},
                                           PrintableCase{"backslash_kept", "a\\b", "a\\b"}),
                         kLabel);

TEST(Text, EveryCp1251ByteRoundTripsThroughUtf8) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, char(b));
        EXPECT_EQ(formats::Cp1251FromUtf8(formats::Utf8FromCp1251(byte)), byte) << b;
    }
}

struct Utf8Case {
    const char* label;
    std::string utf8;
    std::optional<std::string> cp1251;
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, MapsOrRefuses) {
    EXPECT_EQ(formats::Cp1251FromUtf8(GetParam().utf8), GetParam().cp1251);
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

// Files of any shape up to the bound are read (or refused) in time that grows with their size,
// without deep nesting; a stop request ends the reading. Time is the thread's processor time,
// compared with a sixteenth of the same shape in the same run, so a loaded machine does not
// change the verdict: linear reading gives a ratio near 16, a square one near 256.
struct ShapeCase {
    const char* label;
    std::string (*plan)(std::size_t n);
    std::size_t n;      // items the reading goes through before it stops
    std::string error;  // the start of the message at n
    bool csv = false;
};

std::string Repeated(const std::string& item, std::size_t count, const std::string& open = "[",
                     const std::string& close = "]", const std::string& between = ",") {
    std::string text = open;
    text.reserve((item.size() + between.size()) * count + 2);
    for (std::size_t i = 0; i < count; ++i) text += (i ? between : "") + item;
    return text + close;
}

std::string Addresses(std::size_t count) {
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        text += (i ? "," : "") + std::string(R"({"address":"10.)") + std::to_string(i >> 16 & 255) +
                "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255) + "\"}";
    }
    return text + "]";
}

// Processor time of one reading, the least of up to three tries (a try can only be slowed
// down); the tries end early once one is under `enough`.
double SecondsToRead(const ShapeCase& c, const std::string& plan, std::string* error,
                     double enough = 0) {
    double least = 0;
    for (int run = 0; run < 3 && (run == 0 || least >= enough); ++run) {
        timespec start{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        try {
            if (c.csv) {
                formats::ParseCsvPlan(plan, 4000);
            } else {
                formats::ParsePlan(plan, 4000);
            }
            *error = "no error";
        } catch (const base::Error& e) {
            *error = e.what();
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        const double took = double(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
        least = run ? std::min(least, took) : took;
    }
    return least;
}

class ShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeTest, ReadInLinearTime) {
    const ShapeCase& c = GetParam();
    std::string small, error;
    const double sixteenth = SecondsToRead(c, c.plan(c.n / 16), &small);
    // The floor keeps timer granularity out of readings refused at once.
    const double bound = 64 * std::max(sixteenth, 50e-6);
    const double whole = SecondsToRead(c, c.plan(c.n), &error, bound);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_LT(whole, bound) << whole << " s against " << sixteenth << " s for a sixteenth";
}

INSTANTIATE_TEST_SUITE_P(
    Plan, ShapeTest,
    ::testing::Values(
        ShapeCase{"empty_objects", [](std::size_t n) { return Repeated("{}", n); }, 200000,
                  "plan entry 1: no \"address\""},
        ShapeCase{"nested_arrays",
                  [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); }, 4 << 20,
                  "plan: nested deeper than 64 levels"},
        ShapeCase{"one_object_of_many_keys",
                  [](std::size_t n) {
                      std::string keys = "[{";
                      for (std::size_t i = 0; i < n; ++i)
                          keys += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
                      return keys + "}]";
                  },
                  65537, "plan: more than 65536 values in one entry"},
        ShapeCase{"objects_in_one_entry",
                  [](std::size_t n) { return "[" + Repeated("{}", n) + "]"; }, 65537,
                  "plan: more than 65536 values in one entry"},
        ShapeCase{"more_entries_than_a_16", Addresses, 65537, "plan: more than 65536 entries"},
        ShapeCase{"csv_blank_lines_then_too_many",
                  [](std::size_t n) {
                      return "address\n" + std::string(16 * n, '\n') +
                             Repeated("10.0.0.1", n, "", "\n", "\n");
                  },
                  65537, "plan: more than 65536 entries", true}),
    kLabel);

TEST(Plan, AStopEndsTheReading) {
    const std::string plan = Addresses(20000);
    device::RequestStop();
    EXPECT_THROW(formats::ParsePlan(plan, 4000), base::Error);
    try {
        formats::ParsePlan(plan, 4000);
    } catch (const base::Error& e) {
        EXPECT_STREQ(e.what(), "plan: interrupted");
    }
    device::ClearStop();
    EXPECT_EQ(formats::ParsePlan(plan, 4000).size(), 20000u);
}

// Device text through scan --csv and back through a CSV plan: no cell a spreadsheet runs,
// no raw control byte, the same bytes read back.
struct CellCase {
    const char* label;
    std::string device;   // code page 1251
    std::string written;  // the cell in the CSV line
};

class CsvCellTest : public ::testing::TestWithParam<CellCase> {};

TEST_P(CsvCellTest, WrittenSafelyReadBackExactly) {
    const CellCase& c = GetParam();
    std::string line = device::FormatCsvRow({"10.0.0.2", formats::CsvCellOf(c.device)});
    EXPECT_EQ(line, "10.0.0.2," + c.written + "\r\n");
    line.resize(line.size() - 2);
    for (unsigned char b : line) EXPECT_FALSE(b < 0x20 || b == 0x7F) << int(b);
    const auto rows = device::ParseCsv(line);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 2u);
    EXPECT_EQ(formats::Cp1251FromUtf8(formats::TextOfCsvCell(rows[0][1])), c.device);
}

INSTANTIATE_TEST_SUITE_P(
    Text, CsvCellTest,
    ::testing::Values(CellCase{"plain", "00-AC-6E", "00-AC-6E"},
                      CellCase{"formula", "=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
                      CellCase{"plus_minus_at", "+1+cmd|' /C calc'!A0", "'+1+cmd|' /C calc'!A0"},
                      CellCase{"minus", "-2", "'-2"}, CellCase{"at", "@SUM(1)", "'@SUM(1)"},
                      CellCase{"leading_apostrophe", "'=x", "''=x"},
                      CellCase{"spaces_before_a_formula", "  =1+1", "'  =1+1"},
                      CellCase{"no_break_space_before_a_formula", "\xA0=1+1", "'\u00a0=1+1"},
                      CellCase{"pipe_command", "|calc", "'|calc"},
                      CellCase{"equals_later_is_text", "a =1", "a =1"},
                      CellCase{"apostrophe_guarded", "'x", "''x"}, CellCase{"tab", "\tA", "\\x09A"},
                      CellCase{"cr_esc_nul", std::string("\r\x1B[2J\0", 6), "\\x0D\\x1B[2J\\x00"},
                      CellCase{"backslash_and_written_escape", "a\\x41", "a\\x5Cx41"},
                      CellCase{"cyrillic_and_c1", "\xC6\x98", "Ж\\x98"}),
    kLabel);

struct QuotedCase {
    const char* label;
    std::string bytes, shown;
};

class QuotedTest : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedTest, FieldsCannotBeForged) {
    EXPECT_EQ(formats::Quoted(GetParam().bytes), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Text, QuotedTest,
    ::testing::Values(QuotedCase{"plain", "00-AC-6E", "00-AC-6E"}, QuotedCase{"empty", "", "\"\""},
                      QuotedCase{"fields", "X ip=6.6.6.6", "\"X ip=6.6.6.6\""},
                      QuotedCase{"semicolon", "M1;verified", "\"M1;verified\""},
                      QuotedCase{"a_field_alone", "ip=6.6.6.6", "\"ip=6.6.6.6\""},
                      QuotedCase{"quotes_and_backslash", "a\"b'\\", "\"a\\\"b'\\\\\""},
                      QuotedCase{"control_bytes", "a\rb", "a\\x0Db"}),
    kLabel);

TEST(Text, MessagesShowControlBytesButKeepTheirOwnLines) {
    EXPECT_EQ(formats::Escaped("'70\r06' \x1B[2J\nx\n  y"), "'70\\x0D06' \\x1B[2J\\x0Ax\n  y");
}

}  // namespace
