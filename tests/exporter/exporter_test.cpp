// The exporter's pure parts: the text format and its escaping, the allow list, the desired
// files, what a probe answers and the web configuration; and the prober against a device played
// on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../device/fake_device.h"
#include "base/error.h"
#include "exporter/allow.h"
#include "exporter/desired.h"
#include "exporter/metrics.h"
#include "exporter/prober.h"
#include "exporter/text_format.h"
#include "exporter/web_config.h"
#include "folder_test.h"

namespace {

using exporter_test::kLabel;
using exporter_test::PrintTo;

using device::Setting;
using exporter::Failure;

// ---- label values ----------------------------------------------------------------------------

struct LabelCase {
    const char* label;
    std::string device;  // code page 1251
    std::string line;    // the sample line it gives
};

class LabelTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelTest, DeviceTextStaysInsideItsLabel) {
    const LabelCase& c = GetParam();
    const std::string text =
        exporter::Render({{"m", "gauge", "h", {{{{"mac", exporter::DeviceLabel(c.device)}}, 1}}}});
    EXPECT_EQ(text, "# HELP m h\n# TYPE m gauge\n" + c.line + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, LabelTest,
    ::testing::Values(
        LabelCase{"plain", "00-AC-6E-24-18-02", "m{mac=\"00-AC-6E-24-18-02\"} 1"},
        LabelCase{"quote", "a\"b", "m{mac=\"a\\\"b\"} 1"},
        LabelCase{"backslash_doubled_then_escaped", "a\\b", "m{mac=\"a\\\\\\\\b\"} 1"},
        LabelCase{"the_four_characters_backslash_x0A_are_not_a_line_feed", "a\\x0A",
                  "m{mac=\"a\\\\\\\\x0A\"} 1"},
        LabelCase{"line_feed_shown_as_the_device_s_byte", "a\nm 5", "m{mac=\"a\\\\x0Am 5\"} 1"},
        LabelCase{"carriage_return_and_DEL", "\r\x7f", "m{mac=\"\\\\x0D\\\\x7F\"} 1"},
        LabelCase{"cyrillic_to_UTF_8", "\xcf\xf3\xeb\xfc\xf2", "m{mac=\"Пульт\"} 1"},
        LabelCase{"0x98_stands_for_a_control", "\x98", "m{mac=\"\\\\x98\"} 1"}),
    kLabel);

struct RenderCase {
    const char* label;
    std::vector<exporter::Family> families;
    std::string text;
};

class RenderTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderTest, WritesTheExpositionFormat) {
    EXPECT_EQ(exporter::Render(GetParam().families), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, RenderTest,
    ::testing::Values(
        RenderCase{"help_escaped_labels_in_order",
                   {{"a", "counter", "x\\y\nz", {{{{"k", "v"}, {"l", "w"}}, 2}, {{}, 0.25}}}},
                   "# HELP a x\\\\y\\nz\n# TYPE a counter\na{k=\"v\",l=\"w\"} 2\na 0.25\n"},
        RenderCase{"a_family_without_samples_is_left_out",
                   {{"a", "gauge", "h", {}}, {"b", "gauge", "h", {{{}, 1}}}},
                   "# HELP b h\n# TYPE b gauge\nb 1\n"},
        RenderCase{"special_values",
                   {{"a", "gauge", "h", {{{}, 1.0 / 0.0}, {{}, -1.0 / 0.0}, {{}, 0.0 / 0.0}}}},
                   "# HELP a h\n# TYPE a gauge\na +Inf\na -Inf\na NaN\n"},
        RenderCase{"large_whole_numbers_exactly",
                   {{"a", "counter", "h", {{{}, 65535}, {{}, 4294967296.0}}}},
                   "# HELP a h\n# TYPE a counter\na 65535\na 4294967296\n"}),
    kLabel);

// ---- allow list ------------------------------------------------------------------------------

struct AllowCase {
    const char* label;
    std::vector<std::string> ranges;
    std::vector<std::string> inside, outside;
    std::string error = {};  // a part of the message when a range is refused
};

class AllowTest : public ::testing::TestWithParam<AllowCase> {};

TEST_P(AllowTest, ProbesOnlyWhatIsAllowed) {
    const AllowCase& c = GetParam();
    exporter::AllowList allow;
    try {
        for (const auto& r : c.ranges) allow.Add(exporter::ParseAllowRange(r));
        EXPECT_TRUE(c.error.empty()) << "no error";
    } catch (const base::Error& e) {
        EXPECT_NE(c.error, "");
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        return;
    }
    for (const auto& a : c.inside) EXPECT_TRUE(allow.Contains(*device::ParseDotted(a))) << a;
    for (const auto& a : c.outside) EXPECT_FALSE(allow.Contains(*device::ParseDotted(a))) << a;
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, AllowTest,
    ::testing::Values(
        AllowCase{"nothing_allowed", {}, {}, {"10.0.0.1", "0.0.0.0"}},
        AllowCase{"slash_24_edges",
                  {"10.1.2.0/24"},
                  {"10.1.2.0", "10.1.2.1", "10.1.2.255"},
                  {"10.1.1.255", "10.1.3.0"}},
        AllowCase{"slash_32", {"10.0.0.7/32"}, {"10.0.0.7"}, {"10.0.0.6", "10.0.0.8"}},
        AllowCase{"everything", {"0.0.0.0/0"}, {"0.0.0.0", "255.255.255.255"}, {}},
        AllowCase{"slash_31", {"10.0.0.6/31"}, {"10.0.0.6", "10.0.0.7"}, {"10.0.0.5", "10.0.0.8"}},
        AllowCase{"first_last_both_included",
                  {"10.0.0.250-10.0.1.3"},
                  {"10.0.0.250", "10.0.0.255", "10.0.1.3"},
                  {"10.0.0.249", "10.0.1.4"}},
        AllowCase{"one_address_and_several_ranges",
                  {"192.0.2.9", "198.51.100.0/30"},
                  {"192.0.2.9", "198.51.100.3"},
                  {"192.0.2.8", "192.0.2.10", "198.51.100.4"}},
        AllowCase{"host_bits_set", {"10.1.2.3/24"}, {}, {}, "did you mean 10.1.2.0/24?"},
        AllowCase{"prefix_past_32", {"10.0.0.0/33"}, {}, {}, "the prefix is not 0 to 32"},
        AllowCase{"prefix_not_a_number", {"10.0.0.0/x"}, {}, {}, "the prefix is not 0 to 32"},
        AllowCase{"range_backwards", {"10.0.0.9-10.0.0.1"}, {}, {}, "above the last"},
        AllowCase{"not_an_address", {"example.org"}, {}, {}, "not an address"}),
    kLabel);

struct TargetCase {
    const char* label;
    std::string text;
    std::string error;  // a part of the message, empty when it is a device address
};

class TargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetTest, RefusesWhatIsNoDevice) {
    device::Ipv4 address = 0;
    const std::string error = exporter::TargetError(GetParam().text, address);
    if (GetParam().error.empty()) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(device::FormatDotted(address), GetParam().text);
    } else {
        EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, TargetTest,
    ::testing::Values(TargetCase{"device", "10.0.0.5", ""},
                      TargetCase{"last_unicast", "223.255.255.255", ""},
                      TargetCase{"name", "host", "not a dotted"},
                      TargetCase{"unspecified", "0.0.0.0", "not a device"},
                      TargetCase{"broadcast", "255.255.255.255", "not a device"},
                      TargetCase{"multicast", "224.0.0.1", "multicast"},
                      TargetCase{"multicast_top", "239.255.255.255", "multicast"}),
    kLabel);

struct PortCase {
    const char* label;
    std::string text;
    int port;           // what a probe asks for; -1: refused
    std::string error;  // a part of the message
};

class PortTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortTest, ProbesOnlyTheConfiguredPorts) {
    std::uint16_t port = 0;
    const std::string error = exporter::PortError(GetParam().text, {4000, 4005}, port);
    if (GetParam().port >= 0) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(port, GetParam().port);
    } else {
        EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, PortTest,
    ::testing::Values(PortCase{"the_first", "4000", 4000, ""},
                      PortCase{"another_configured", "4005", 4005, ""},
                      PortCase{"not_configured", "4001", -1, "not a device port given"},
                      PortCase{"zero", "0", -1, "not a port number"},
                      PortCase{"one_past_the_last", "65536", -1, "not a port number"},
                      PortCase{"wraps_to_a_configured_one", "69536", -1, "not a port number"},
                      PortCase{"trailing_text", "4000x", -1, "not a port number"}),
    kLabel);

struct BudgetCase {
    const char* label;
    const char* header;  // null: none
    double seconds;      // with --probe.timeout 10 and --timeout-offset 0.5
};

class BudgetTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(BudgetTest, KeepsToTheScrapesTimeoutAndNeverToNothing) {
    const std::string header = GetParam().header ? GetParam().header : "";
    const auto budget = exporter::ProbeBudget(10, 0.5, GetParam().header ? &header : nullptr);
    EXPECT_NEAR(std::chrono::duration<double>(budget).count(), GetParam().seconds, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Exporter, BudgetTest,
                         ::testing::Values(BudgetCase{"no_header", nullptr, 10},
                                           BudgetCase{"less_the_offset", "1.5", 1},
                                           BudgetCase{"at_the_offset", "0.5", 0.25},
                                           BudgetCase{"below_the_offset", "0.2", 0.1},
                                           BudgetCase{"longer_than_the_probe_timeout", "30", 10},
                                           BudgetCase{"negative", "-3", 10}),
                         kLabel);

// ---- desired files ---------------------------------------------------------------------------

struct DesiredCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> files;  // name, content; "" names a folder
    std::string path;                                        // what --desired names
    std::vector<std::string> entries;  // "address name=value ..." in address order
    std::string error = {};            // a part of the message
};

std::string Describe(device::Ipv4 address, const device::Settings& s) {
    std::string text = device::FormatDotted(address);
    for (Setting k : device::kAllSettings)
        if (s[k]) text += " " + std::string(device::Name(k)) + "=" + *s[k];
    return text;
}

class DesiredTest : public exporter_test::FolderTest<DesiredCase> {};

TEST_P(DesiredTest, ReadsWhatOrvanctlReads) {
    const DesiredCase& c = GetParam();
    Plant(c.files);
    try {
        std::vector<std::string> got;
        for (const auto& [address, d] : exporter::LoadDesired(dir_ + "/" + c.path, 4000))
            got.push_back(Describe(address, d.settings));
        EXPECT_TRUE(c.error.empty()) << "no error";
        EXPECT_EQ(got, c.entries);
    } catch (const base::Error& e) {
        EXPECT_NE(c.error, "") << e.what();
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find(dir_ + "/" + c.path), 0u) << e.what();
    }
}

const std::string kBackup10 =
    R"({"address": "10.0.0.10", "port": 4000, "telemetry_port": 7001, "h323_port": 7002,
        "gateway": "10.0.0.1", "ip": "10.0.0.10", "controller": "10.0.0.9",
        "mask": "255.255.255.0", "mac": "Пульт-1", "read_at": "2026-12-07T20:35:01+01:00"})";

// What backup saves for a reply that parsed only in part.
const std::string kPartial11 = R"({"address": "10.0.0.11", "partial": true, "mac": "M"})";

INSTANTIATE_TEST_SUITE_P(
    Exporter, DesiredTest,
    ::testing::Values(
        DesiredCase{"JSON_plan",
                    {{"plan.json", R"([{"address": "10.0.0.5", "gateway": "10.0.0.1"},
                                       {"address": "10.0.0.4", "telemetry_port": 7001}])"}},
                    "plan.json",
                    {"10.0.0.4 telemetry_port=7001", "10.0.0.5 gateway=10.0.0.1"}},
        DesiredCase{"a_moved_device_is_found_at_both_addresses",
                    {{"plan.json", R"([{"address": "10.0.0.5", "ip": "10.0.0.50"}])"}},
                    "plan.json",
                    {"10.0.0.5 ip=10.0.0.50", "10.0.0.50 ip=10.0.0.50"}},
        DesiredCase{"an_ip_equal_to_the_address_as_get_json_writes_it",
                    {{"plan.json", R"([{"address": "10.0.0.5", "ip": "10.0.0.5"}])"}},
                    "plan.json",
                    {"10.0.0.5 ip=10.0.0.5"}},
        DesiredCase{"CSV_plan",
                    {{"plan.csv", "address,mask,mac\n10.0.0.7,255.255.0.0,\n"}},
                    "plan.csv",
                    {"10.0.0.7 mask=255.255.0.0"}},
        DesiredCase{"backup_folder_every_setting_and_the_MAC_in_code_page_1251",
                    {{"b/x.json", kBackup10},
                     {"b/notes.txt", "not read"},
                     {"b/y.partial.json", kPartial11}},
                    "b",
                    {"10.0.0.10 telemetry_port=7001 h323_port=7002 gateway=10.0.0.1 ip=10.0.0.10 "
                     "controller=10.0.0.9 mask=255.255.255.0 mac=\xcf\xf3\xeb\xfc\xf2-1"}},
        DesiredCase{"one_backup_file",
                    {{"x.json", kBackup10}},
                    "x.json",
                    {"10.0.0.10 telemetry_port=7001 h323_port=7002 gateway=10.0.0.1 ip=10.0.0.10 "
                     "controller=10.0.0.9 mask=255.255.255.0 mac=\xcf\xf3\xeb\xfc\xf2-1"}},
        // A unit swapped between two backup runs: one wins (which one: site_test.cpp).
        DesiredCase{"two_backups_of_one_address",
                    {{"b/x.json", kBackup10}, {"b/y.json", kBackup10}},
                    "b",
                    {"10.0.0.10 telemetry_port=7001 h323_port=7002 gateway=10.0.0.1 ip=10.0.0.10 "
                     "controller=10.0.0.9 mask=255.255.255.0 mac=\xcf\xf3\xeb\xfc\xf2-1"}},
        DesiredCase{"empty_folder", {{"e/.keep", ""}}, "e", {}, "no backup files"},
        DesiredCase{"plan_with_a_bad_value",
                    {{"plan.json", R"([{"address": "10.0.0.5", "gateway": "10.0.0"}])"}},
                    "plan.json",
                    {},
                    "gateway"},
        DesiredCase{"plan_giving_two_devices_one_address",
                    {{"plan.json", R"([{"address": "10.0.0.5"}, {"address": "10.0.0.5"}])"}},
                    "plan.json",
                    {},
                    "10.0.0.5"},
        DesiredCase{
            "a_partial_backup_named", {{"p.json", kPartial11}}, "p.json", {}, "a partial backup"},
        DesiredCase{"missing_file", {}, "none.json", {}, "cannot read"},
        DesiredCase{"a_complete_backup_whose_MAC_text_ends_in_partial",
                    {{"b/U.partial.json",
                      R"({"address": "10.0.0.12", "port": 4000, "telemetry_port": 7001,
                          "h323_port": 7002, "gateway": "10.0.0.1", "ip": "10.0.0.12",
                          "controller": "10.0.0.9", "mask": "255.255.255.0",
                          "mac": "U.partial"})"}},
                    "b",
                    {"10.0.0.12 telemetry_port=7001 h323_port=7002 gateway=10.0.0.1 "
                     "ip=10.0.0.12 controller=10.0.0.9 mask=255.255.255.0 mac=U.partial"}}),
    kLabel);

// ---- a probe's answer ------------------------------------------------------------------------

device::Settings Read() {
    device::Settings s;
    s[Setting::kTelemetryPort] = "7001";
    s[Setting::kH323Port] = "7002";
    s[Setting::kGateway] = "10.0.0.1";
    s[Setting::kIp] = "10.0.0.5";
    s[Setting::kController] = "10.0.0.9";
    s[Setting::kMask] = "255.255.255.0";
    s[Setting::kMac] = "02-00";
    return s;
}

struct AnswerCase {
    const char* label;
    Failure failure;
    std::vector<std::pair<Setting, const char*>> read;     // over Read(); null: absent
    std::vector<std::pair<Setting, const char*>> desired;  // empty: no desired entry
    std::vector<std::string> lines;                        // every sample line, in order
};

class AnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, SaysWhatTheDeviceHolds) {
    const AnswerCase& c = GetParam();
    exporter::ProbeResult r;
    r.failure = c.failure;
    if (c.failure == Failure::kNone || c.failure == Failure::kPartialReply) r.settings = Read();
    for (const auto& [s, v] : c.read)
        r.settings[s] = v ? std::optional<std::string>(v) : std::nullopt;
    exporter::Desired d;
    for (const auto& [s, v] : c.desired) d.settings[s] = v;
    std::vector<std::string> lines;
    for (const auto& f : exporter::ProbeFamilies(r, 0.5, c.desired.empty() ? nullptr : &d)) {
        for (const auto& sample : f.samples) {
            std::string line = f.name;
            for (const auto& [k, v] : sample.labels) line += " " + k + "=" + v;
            lines.push_back(line + " " + exporter::FormatValue(sample.value));
        }
    }
    EXPECT_EQ(lines, c.lines);
}

const std::string kInfo =
    "orvan_device_info mac=02-00 ip=10.0.0.5 gateway=10.0.0.1 mask=255.255.255.0 "
    "controller=10.0.0.9 1";

INSTANTIATE_TEST_SUITE_P(
    Exporter, AnswerTest,
    ::testing::Values(
        AnswerCase{"up_no_desired_file",
                   Failure::kNone,
                   {},
                   {},
                   {"orvan_up 1", "orvan_probe_duration_seconds 0.5", "orvan_device_answered 1",
                    kInfo, "orvan_device_telemetry_port 7001", "orvan_device_h323_port 7002"}},
        AnswerCase{"no_reply",
                   Failure::kNoReply,
                   {},
                   {{Setting::kGateway, "10.0.0.1"}},
                   {"orvan_up 0", "orvan_probe_duration_seconds 0.5",
                    "orvan_probe_failure_info reason=no_reply 1", "orvan_device_answered 0"}},
        AnswerCase{"port_taken",
                   Failure::kPortTaken,
                   {},
                   {},
                   {"orvan_up 0", "orvan_probe_duration_seconds 0.5",
                    "orvan_probe_failure_info reason=port_taken 1"}},
        AnswerCase{"drift_and_a_replaced_unit",
                   Failure::kNone,
                   {{Setting::kMac, "02-01"}},
                   {{Setting::kGateway, "10.0.0.2"},
                    {Setting::kMask, "255.255.255.0"},
                    {Setting::kMac, "02-00"}},
                   {"orvan_up 1", "orvan_probe_duration_seconds 0.5", "orvan_device_answered 1",
                    "orvan_device_info mac=02-01 ip=10.0.0.5 gateway=10.0.0.1 mask=255.255.255.0 "
                    "controller=10.0.0.9 1",
                    "orvan_device_telemetry_port 7001", "orvan_device_h323_port 7002",
                    "orvan_setting_as_desired setting=gateway 0",
                    "orvan_setting_as_desired setting=mask 1", "orvan_mac_as_desired 0"}},
        AnswerCase{"every_setting_as_desired_in_wire_order",
                   Failure::kNone,
                   {},
                   {{Setting::kMac, "02-00"},
                    {Setting::kIp, "10.0.0.5"},
                    {Setting::kTelemetryPort, "7001"},
                    {Setting::kH323Port, "7002"},
                    {Setting::kController, "10.0.0.9"}},
                   {"orvan_up 1", "orvan_probe_duration_seconds 0.5", "orvan_device_answered 1",
                    kInfo, "orvan_device_telemetry_port 7001", "orvan_device_h323_port 7002",
                    "orvan_setting_as_desired setting=telemetry_port 1",
                    "orvan_setting_as_desired setting=h323_port 1",
                    "orvan_setting_as_desired setting=ip 1",
                    "orvan_setting_as_desired setting=controller 1", "orvan_mac_as_desired 1"}},
        AnswerCase{
            "partial_what_parsed_nothing_said_of_the_rest",
            Failure::kPartialReply,
            {{Setting::kGateway, nullptr}, {Setting::kH323Port, nullptr}, {Setting::kMac, nullptr}},
            {{Setting::kGateway, "10.0.0.1"},
             {Setting::kMask, "255.255.0.0"},
             {Setting::kMac, "02-00"}},
            {"orvan_up 0", "orvan_probe_duration_seconds 0.5",
             "orvan_probe_failure_info reason=partial_reply 1", "orvan_device_answered 0",
             "orvan_device_info mac= ip=10.0.0.5 gateway= mask=255.255.255.0 "
             "controller=10.0.0.9 1",
             "orvan_device_telemetry_port 7001", "orvan_setting_as_desired setting=mask 0"}},
        // Not asked: nothing said of the device, so the rules keep its last answer.
        AnswerCase{"timeout_not_asked",
                   Failure::kTimeout,
                   {},
                   {{Setting::kGateway, "10.0.0.1"}},
                   {"orvan_up 0", "orvan_probe_duration_seconds 0.5",
                    "orvan_probe_failure_info reason=timeout 1"}},
        AnswerCase{"error_not_asked",
                   Failure::kError,
                   {},
                   {},
                   {"orvan_up 0", "orvan_probe_duration_seconds 0.5",
                    "orvan_probe_failure_info reason=error 1"}},
        AnswerCase{"send_failed_asked",
                   Failure::kSendFailed,
                   {},
                   {},
                   {"orvan_up 0", "orvan_probe_duration_seconds 0.5",
                    "orvan_probe_failure_info reason=send_failed 1", "orvan_device_answered 0"}}),
    kLabel);

// A port FFFFFFFF in the reply is a failed probe that names it, never a port -1.
TEST(Exporter, AReplyValueOutOfRangeIsAnInvalidValue) {
    constexpr std::uint16_t kPort = 47260;
    device_test::FakeDevice device(
        device_test::Loopback(2), kPort,
        device_test::FakeDevice::Answers(
            "<FFFFFFFF#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#M>"));
    exporter::ProberOptions options;
    options.lockDir.clear();
    exporter::Prober prober(kPort, options);
    const exporter::ProbeResult r =
        prober.Probe(device_test::Loopback(2), device::Clock::now() + std::chrono::seconds(10));
    EXPECT_EQ(r.failure, Failure::kInvalidValue) << r.message;
    EXPECT_NE(r.message.find("telemetry_port FFFFFFFF"), std::string::npos) << r.message;
    EXPECT_FALSE(r.settings[Setting::kTelemetryPort]);
    EXPECT_EQ(r.settings[Setting::kH323Port], "6025");
}

// ---- web configuration -----------------------------------------------------------------------

constexpr const char* kSecretHash = "$2b$04$e8kRKGd4QaZtX4HaKIB1OODIqc02Y2NUA0Z9SrVrMlfTlifXk3812";

struct WebCase {
    const char* label;
    std::string yaml;
    std::string read;   // "cert key users" as read, when no error
    std::string error;  // a part of the message
};

class WebConfigTest : public ::testing::TestWithParam<WebCase> {};

TEST_P(WebConfigTest, ReadsTheExporterWebFormat) {
    try {
        const auto c = exporter::ParseWebConfig(GetParam().yaml, "/etc/orvan/web.yml");
        std::string users;
        for (const auto& [name, hash] : c.users) users += " " + name + "=" + hash.substr(0, 7);
        for (const auto& [name, value] : c.headers) users += " " + name + ":" + value;
        EXPECT_EQ(c.certFile + " " + c.keyFile + users, GetParam().read);
        EXPECT_EQ(GetParam().error, "");
    } catch (const base::Error& e) {
        EXPECT_NE(GetParam().error, "") << e.what();
        EXPECT_NE(std::string(e.what()).find(GetParam().error), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("/etc/orvan/web.yml:", 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, WebConfigTest,
    ::testing::Values(
        WebCase{"empty_plain_HTTP", "", " ", ""},
        WebCase{"relative_files_from_the_file_s_folder_and_users",
                "tls_server_config:\n  cert_file: web.crt\n  key_file: /k/web.key\n"
                "basic_auth_users:\n  alice: " +
                    std::string(kSecretHash) +
                    "\nhttp_server_config:\n  headers:\n    X-Frame-Options: deny\n",
                "/etc/orvan/web.crt /k/web.key alice=$2b$04$ X-Frame-Options:deny", ""},
        WebCase{"a_key_without_its_certificate", "tls_server_config:\n  key_file: k\n", "",
                "key_file without cert_file"},
        WebCase{"unknown_key", "tls_server_config:\n  cert_file: c\n  certfile: k\n", "",
                ":3: tls_server_config: unknown key 'certfile'"},
        WebCase{"documented_but_not_served", "rate_limit:\n  burst: 2\n", "", "not supported"},
        WebCase{"a_plain_password", "basic_auth_users:\n  alice: secret\n", "",
                "not a bcrypt hash"},
        WebCase{"a_header_with_a_line_break",
                "http_server_config:\n  headers:\n    X-Frame-Options: \"deny\\r\\nX: y\"\n", "",
                "line break"}),
    kLabel);

struct AuthCase {
    const char* label;
    std::vector<const char*> headers;  // null: no Authorization header; asked in turn
    std::vector<bool> allowed;
};

class BasicAuthTest : public ::testing::TestWithParam<AuthCase> {};

TEST_P(BasicAuthTest, LetsInOnlyAUserWithTheirPassword) {
    exporter::BasicAuth auth(std::map<std::string, std::string>{{"alice", kSecretHash}});
    std::vector<bool> allowed;
    for (const char* h : GetParam().headers) {
        const std::string header = h ? h : "";
        allowed.push_back(auth.Allows(h ? &header : nullptr));
    }
    EXPECT_EQ(allowed, GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, BasicAuthTest,
    ::testing::Values(
        AuthCase{"none_given", {nullptr}, {false}},
        AuthCase{"the_password", {"Basic YWxpY2U6c2VjcmV0"}, {true}},
        AuthCase{"the_scheme_in_any_case", {"basic YWxpY2U6c2VjcmV0"}, {true}},
        // After a match is remembered, another password is still checked.
        AuthCase{"right_then_wrong_then_a_prefix",
                 {"Basic YWxpY2U6c2VjcmV0", "Basic YWxpY2U6d3Jvbmc=", "Basic YWxpY2U6c2VjcmU="},
                 {true, false, false}},
        AuthCase{"another_user_with_alice_s_password", {"Basic Ym9iOnNlY3JldA=="}, {false}},
        AuthCase{"another_scheme", {"Bearer YWxpY2U6c2VjcmV0"}, {false}}),
    kLabel);

TEST(BasicAuth, NoUsersNoPasswordAsked) {
    exporter::BasicAuth auth(std::map<std::string, std::string>{});
    EXPECT_TRUE(auth.Allows(nullptr));
}

// ---- the prober against a device on loopback ---------------------------------------------------

using device_test::FakeDevice;
using device_test::Loopback;
using namespace std::chrono_literals;

class ProberTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/orvan-prober-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        locks_ = name;
        options_.lockDir = locks_;
        options_.replyTimeout = 100ms;
        options_.retries = 1;
    }
    void TearDown() override { std::filesystem::remove_all(locks_); }
    std::string locks_;
    exporter::ProberOptions options_;
};

// Each test on a port of its own: the suite's tests run at once.
TEST_F(ProberTest, OnlyADatagramFromTheDevicesOwnPortIsItsReply) {
    for (const bool fromOwnPort : {true, false}) {
        const std::uint16_t port = fromOwnPort ? 47311 : 47312;
        FakeDevice::Behaviour b = FakeDevice::Answers();
        if (!fromOwnPort) b.replyPort = port + 7;
        FakeDevice device(Loopback(2), port, b);
        ASSERT_TRUE(device.Ok());
        exporter::Prober prober(port, options_);
        const auto r = prober.Probe(Loopback(2), device::Clock::now() + 5s);
        EXPECT_EQ(r.failure, fromOwnPort ? Failure::kNone : Failure::kNoReply)
            << fromOwnPort << " " << r.message;
        EXPECT_EQ(device.Count("GO"), fromOwnPort ? 1u : 2u);
    }
}

TEST_F(ProberTest, ARunWaitingForThePortGetsItWhileProbesKeepComing) {
    constexpr std::uint16_t kPort = 47313;
    FakeDevice silent(Loopback(2), kPort, FakeDevice::Silent());
    ASSERT_TRUE(silent.Ok());
    options_.mostHold = 300ms;
    options_.retries = 0;
    exporter::Prober prober(kPort, options_);
    std::atomic<bool> stop{false};
    std::vector<std::thread> scrapes;
    for (int i = 0; i < 4; ++i) {
        scrapes.emplace_back([&] {
            while (!stop) prober.Probe(Loopback(2), device::Clock::now() + 200ms);
        });
    }
    // The run comes while a hold is under way.
    const std::string lock = device::LockPath(locks_, Loopback(1), kPort);
    for (bool held = false; !held;) {
        const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0) ::close(fd);
    }
    device::PortOptions run;
    run.lockDir = locks_;
    run.portWait = 5000ms;  // the hold's bound and the gap are under half a second
    device::DevicePort port(kPort, run);
    EXPECT_NO_THROW(port.Open(Loopback(2)));
    stop = true;
    for (auto& t : scrapes) t.join();
}

}  // namespace
