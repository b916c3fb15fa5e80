// The settings in the operator's form: what a value must be, what a change is, and that the
// command built from them is the window's own, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/codec.h"
#include "device/settings.h"

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

const std::string kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";

const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

struct CheckCase {
    const char* label;
    Setting setting;
    std::string text;
    std::string value;  // the value kept; empty with an error
    std::string error;  // empty when good
};

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, RefusesWhatCannotBeSent) {
    const CheckCase& c = GetParam();
    const device::Checked got = device::Check(c.setting, c.text);
    EXPECT_EQ(got.error, c.error);
    EXPECT_EQ(got.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CheckTest,
    ::testing::Values(
        CheckCase{"port_lowest", Setting::kTelemetryPort, "1", "1", ""},
        CheckCase{"port_highest", Setting::kH323Port, "65535", "65535", ""},
        CheckCase{"port_leading_zeros_dropped", Setting::kTelemetryPort, "06024", "6024", ""},
        CheckCase{"port_zero", Setting::kTelemetryPort, "0", "",
                  "'0' is not a port number (1 to 65535)"},
        CheckCase{"port_above", Setting::kH323Port, "65536", "",
                  "'65536' is not a port number (1 to 65535)"},
        CheckCase{"port_overlong", Setting::kH323Port, "000001", "",
                  "'000001' is not a port number (1 to 65535)"},
        CheckCase{"port_hex_prefix", Setting::kTelemetryPort, "$1788", "",
                  "'$1788' is not a port number (1 to 65535)"},
        CheckCase{"port_sign", Setting::kTelemetryPort, "+80", "",
                  "'+80' is not a port number (1 to 65535)"},
        CheckCase{"port_empty", Setting::kTelemetryPort, "", "",
                  "'' is not a port number (1 to 65535)"},
        CheckCase{"address_kept_canonical", Setting::kGateway, "010.000.1.1", "10.0.1.1", ""},
        CheckCase{"address_three_parts", Setting::kIp, "10.0.1", "",
                  "'10.0.1' is not an address of four parts 0 to 255"},
        CheckCase{"address_part_above_255", Setting::kMask, "255.255.256.0", "",
                  "'255.255.256.0' is not an address of four parts 0 to 255"},
        CheckCase{"address_blank", Setting::kController, " 10.0.0.1", "",
                  "' 10.0.0.1' is not an address of four parts 0 to 255"},
        CheckCase{"mac_free_text", Setting::kMac, "any text # here", "any text # here", ""},
        CheckCase{"mac_empty", Setting::kMac, "", "", ""},
        CheckCase{"mac_longest", Setting::kMac, std::string(device::kMostMacBytes, 'A'),
                  std::string(device::kMostMacBytes, 'A'), ""},
        CheckCase{"mac_one_byte_too_long", Setting::kMac,
                  std::string(device::kMostMacBytes + 1, 'A'), "",
                  "the MAC text is 8133 bytes, longer than 8132 (a reply holds no longer one)"},
        CheckCase{"mac_cp1251_letters", Setting::kMac, "\xC0\xFF", "\xC0\xFF", ""},
        CheckCase{"mac_closing_bracket", Setting::kMac, "AA>BB", "",
                  "'AA>BB' holds '>', which would end the command"},
        CheckCase{"mac_tab", Setting::kMac, "AA\tBB", "", "the MAC text holds a control character"},
        CheckCase{"mac_delete", Setting::kMac, "AA\x7F", "",
                  "the MAC text holds a control character"},
        CheckCase{"mac_newline", Setting::kMac, "AA\n", "",
                  "the MAC text holds a control character"}),
    kLabel);

device::Settings Sample() {
    return device::FromReply(config::ParseConfigReply(kSampleReply));
}

device::Settings Only(Setting s, const std::string& value) {
    device::Settings wanted;
    wanted[s] = value;
    return wanted;
}

struct DiffCase {
    const char* label;
    device::Settings wanted;
    std::vector<std::string> changes;  // "name from -> to"
    std::string command;               // of the merged settings
};

class DiffTest : public ::testing::TestWithParam<DiffCase> {};

TEST_P(DiffTest, ChangesOnlyWhatDiffersAndKeepsTheRest) {
    const DiffCase& c = GetParam();
    const device::Settings current = Sample();
    std::vector<std::string> changes;
    for (const device::Change& ch : device::Diff(current, c.wanted))
        changes.push_back(std::string(device::Name(ch.setting)) + " " + ch.from + " -> " + ch.to);
    EXPECT_EQ(changes, c.changes);
    EXPECT_EQ(device::ConfigCommand(device::Merge(current, c.wanted)), c.command);
}

device::Settings Two() {
    device::Settings wanted = Only(Setting::kMask, "255.255.0.0");
    wanted[Setting::kTelemetryPort] = "7000";
    wanted[Setting::kH323Port] = "6025";  // as it is: no change
    return wanted;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, DiffTest,
    ::testing::Values(
        DiffCase{"nothing_named",
                 {},
                 {},
                 "<1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#00-AC-6E-24-18-02>"},
        DiffCase{"same_value",
                 Only(Setting::kGateway, "192.168.119.1"),
                 {},
                 "<1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#00-AC-6E-24-18-02>"},
        DiffCase{"one_port",
                 Only(Setting::kTelemetryPort, "5"),
                 {"telemetry_port 6024 -> 5"},
                 "<5#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#00-AC-6E-24-18-02>"},
        DiffCase{"one_address",
                 Only(Setting::kController, "10.0.0.16"),
                 {"controller 192.168.119.240 -> 10.0.0.16"},
                 "<1788#1789#C0.A8.77.01#C0.A8.77.8D#0A.00.00.10#FF.FF.FF.00#00-AC-6E-24-18-02>"},
        DiffCase{"mac",
                 Only(Setting::kMac, "AA-BB"),
                 {"mac 00-AC-6E-24-18-02 -> AA-BB"},
                 "<1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#AA-BB>"},
        DiffCase{"two_changed_one_same_in_wire_order",
                 Two(),
                 {"telemetry_port 6024 -> 7000", "mask 255.255.255.0 -> 255.255.0.0"},
                 "<1B58#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.00.00#00-AC-6E-24-18-02>"}),
    kLabel);

// What the window sends after "Синхронизировать данные" with the same read side: the codec
// fed the padded quads of the dotted conversion.
TEST(SettingsCommand, IsTheWindowsCommandForTheSameValues) {
    EXPECT_EQ(device::ConfigCommand(Sample()),
              "<1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#00-AC-6E-24-18-02>");
}

struct ReplyCase {
    const char* label;
    std::string reply;
    std::vector<std::string> missing;
    std::string notWhole = {};
    std::string why = {};  // when the reply is partial
};

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, NamesWhatDidNotConvert) {
    const ReplyCase& c = GetParam();
    const device::ParsedReply parsed = device::ParseReply(c.reply);
    EXPECT_EQ(parsed.notWhole, c.notWhole);
    EXPECT_EQ(parsed.Partial(), !c.missing.empty());
    if (!c.why.empty()) {
        EXPECT_EQ(parsed.Why(), c.why);
    }
    const device::Settings& s = parsed.settings;
    std::vector<std::string> missing;
    for (Setting m : s.Missing()) missing.push_back(device::Name(m));
    EXPECT_EQ(missing, c.missing);
    EXPECT_EQ(s.Complete(), c.missing.empty());
    if (!s.Complete()) {
        EXPECT_THROW(device::ConfigCommand(s), std::exception);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ReplyTest,
    ::testing::Values(
        ReplyCase{"complete", kSampleReply, {}},
        ReplyCase{"cut_after_the_gateway",
                  "<1788#1789#C0.A8.77.1>",
                  {"gateway", "ip", "controller", "mask"}},
        ReplyCase{"bad_first_field",
                  "<xx#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#M>",
                  {"telemetry_port", "h323_port", "gateway", "ip", "controller", "mask"}},
        ReplyCase{"bad_mask_only",
                  "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.G#M>",
                  {"mask"}},
        ReplyCase{"cut_short_in_the_mac",
                  kSampleReply.substr(0, 66),
                  {"mac"},
                  "the reply is cut short: no closing '>'"},
        ReplyCase{"bytes_after_the_closing_bracket",
                  kSampleReply + "\r\n",
                  {"mac"},
                  "the reply goes on after its closing '>'"},
        ReplyCase{"no_opening_bracket",
                  kSampleReply.substr(1),
                  {"mac"},
                  "the reply does not begin with '<'"},
        ReplyCase{"the_largest_values_a_device_holds",
                  "<FFFF#0#FF.FF.FF.FF#0.0.0.0#C0.A8.77.F0#FF.FF.FF.0#M>",
                  {}},
        ReplyCase{"ports_out_of_range",
                  "<FFFFFFFF#7FFFFFFF#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#M>",
                  {"telemetry_port", "h323_port"},
                  "",
                  "the reply parsed only in part; out of range: telemetry_port "
                  "FFFFFFFF (a port is 0 to FFFF), h323_port 7FFFFFFF (a port is 0 "
                  "to FFFF)"},
        ReplyCase{"a_port_just_past_the_largest",
                  "<10000#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#M>",
                  {"telemetry_port"}},
        ReplyCase{"an_address_part_out_of_range_and_a_mask_not_converted",
                  "<1788#1789#FFFF.FA.0.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.G#M>",
                  {"gateway", "mask"},
                  "",
                  "the reply parsed only in part; out of range: gateway "
                  "FFFF.FA.0.1 (parts 0 to FF); not converted: mask"}),
    kLabel);

}  // namespace

namespace {

TEST(SettingsCommand, TheLongestValuesMakeTheLongestReply) {
    device::Settings s;
    s[Setting::kTelemetryPort] = "65535";
    s[Setting::kH323Port] = "65535";
    for (Setting a : {Setting::kGateway, Setting::kIp, Setting::kController, Setting::kMask})
        s[a] = "255.255.255.255";
    s[Setting::kMac] = std::string(device::kMostMacBytes, 'M');
    EXPECT_EQ(device::ConfigCommand(s).size(), device::kMostReplyBytes);
}

TEST(SettingsReply, OneLongerThanTheFormatAllowsIsPartialWithoutItsMac) {
    const std::string head = "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#";
    const auto reply = [&](std::size_t n) {
        return head + std::string(n - head.size() - 1, 'M') + ">";
    };
    const device::ParsedReply longest = device::ParseReply(reply(8192));
    EXPECT_FALSE(longest.Partial());
    EXPECT_EQ(longest.settings[Setting::kMac], std::string(8192 - 58, 'M'));
    const device::ParsedReply over = device::ParseReply(reply(8193));
    EXPECT_TRUE(over.Partial());
    EXPECT_FALSE(over.settings[Setting::kMac]);
    EXPECT_EQ(over.settings[Setting::kTelemetryPort], "6024");
    EXPECT_EQ(over.notWhole,
              "the reply is 8193 bytes, longer than the 8192 a configuration reply can be");
}

}  // namespace
