// The exporter on a site's own files: a backup folder after a unit swap, files caught while
// being written, the time a backup was read, and the reload the exporter reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "exporter/desired.h"
#include "exporter/metrics.h"
#include "folder_test.h"

namespace {

using exporter_test::kLabel;
using exporter_test::PrintTo;

using device::Setting;

std::string Backup(const char* address, const char* mac, const char* readAt) {
    std::string text = std::string(R"({"address": ")") + address +
                       R"(", "port": 4000, "telemetry_port": 7001, "mac": ")" + mac + '"';
    if (readAt != nullptr) text += std::string(R"(, "read_at": ")") + readAt + '"';
    return text + "}\n";
}

struct SiteCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::string path;                                        // what --desired names
    std::vector<std::string> macs;                           // "address mac" in address order
    std::vector<std::string> notes;                          // a part of each note, in order
    std::string error = {};                                  // a part of the message
};

class SiteTest : public exporter_test::FolderTest<SiteCase> {};

TEST_P(SiteTest, TakesTheSitesFiles) {
    const SiteCase& c = GetParam();
    Plant(c.files);
    std::vector<std::string> notes;
    try {
        std::vector<std::string> got;
        for (const auto& [address, d] : exporter::LoadDesired(dir_ + "/" + c.path, 4000, &notes))
            got.push_back(device::FormatDotted(address) + " " + d.settings[Setting::kMac].value());
        EXPECT_EQ(c.error, "") << "no error";
        EXPECT_EQ(got, c.macs);
    } catch (const base::Error& e) {
        EXPECT_NE(c.error, "") << e.what();
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
    ASSERT_EQ(notes.size(), c.notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i)
        EXPECT_NE(notes[i].find(c.notes[i]), std::string::npos) << notes[i];
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, SiteTest,
    ::testing::Values(
        // The newest sorts neither first nor last: the time read decides, not the name.
        SiteCase{"unit_swap_the_newest_backup_wins",
                 {{"b/A-old.json", Backup("10.0.0.3", "OLD", "2026-12-01T09:00:00+00:00")},
                  {"b/M-new.json", Backup("10.0.0.3", "NEW", "2026-12-07T21:00:00+00:00")},
                  {"b/Z-older.json", Backup("10.0.0.3", "OLDER", "2026-11-01T09:00:00+00:00")},
                  {"b/other.json", Backup("10.0.0.4", "M4", "2026-12-01T09:00:00+00:00")}},
                 "b",
                 {"10.0.0.3 NEW", "10.0.0.4 M4"},
                 {"10.0.0.3: "}},
        // 22:00+02:00 is 20:00 UTC: earlier than 21:00+00:00 although its text is later.
        SiteCase{"read_at_compared_in_UTC",
                 {{"b/a.json", Backup("10.0.0.3", "OLD", "2026-12-07T22:00:00+02:00")},
                  {"b/b.json", Backup("10.0.0.3", "NEW", "2026-12-07T21:00:00+00:00")},
                  {"b/c.json", Backup("10.0.0.3", "OLDER", "2026-12-01T21:00:00+00:00")}},
                 "b",
                 {"10.0.0.3 NEW"},
                 {"b.json (read 2026-12-07T21:00:00+00:00) is the newest backup of this "
                  "address and wins over "}},
        SiteCase{"a_backup_without_read_at_is_the_oldest",
                 {{"b/a.json", Backup("10.0.0.3", "OLD", nullptr)},
                  {"b/b.json", Backup("10.0.0.3", "NEW", "2026-12-07T21:00:00+00:00")},
                  {"b/c.json", Backup("10.0.0.3", "OLDER", "2026-12-01T21:00:00+00:00")}},
                 "b",
                 {"10.0.0.3 NEW"},
                 {"(no read_at)"}},
        SiteCase{
            "read_at_equal_the_later_name_wins",
            {{"b/M.json", Backup("10.0.0.3", "FIRST", "2026-12-07T21:00:00+00:00")},
             {"b/M~2.json", Backup("10.0.0.3", "SECOND", "2026-12-07T21:00:00+00:00")},
             {"b/M~3.partial.json", R"({"address": "10.0.0.3", "partial": true, "mac": "THIRD"})"}},
            "b",
            {"10.0.0.3 SECOND"},
            {"M~2.json"}},
        SiteCase{"a_whole_backup_of_a_unit_whose_MAC_ends_in_partial",
                 {{"b/X.partial.json", Backup("10.0.0.3", "X.partial", nullptr)},
                  {"b/Y.partial.json", R"({"address": "10.0.0.4", "partial": true, "mac": "Y"})"}},
                 "b",
                 {"10.0.0.3 X.partial"},
                 {}},
        SiteCase{"a_plan_naming_an_address_twice_is_still_refused",
                 {{"plan.json", R"([{"address": "10.0.0.5"}, {"address": "10.0.0.5"}])"}},
                 "plan.json",
                 {},
                 {},
                 "10.0.0.5"},
        // Caught while being written: refused, so that a reload keeps the last whole file.
        SiteCase{"CSV_cut_mid_line",
                 {{"plan.csv", "address,telemetry_port\n10.0.0.7,7001\n10.0.0.8,70"}},
                 "plan.csv",
                 {},
                 {},
                 "does not end in a line break"},
        SiteCase{"CSV_cut_in_the_header",
                 {{"plan.csv", "address,telem"}},
                 "plan.csv",
                 {},
                 {},
                 "does not end in a line break"},
        SiteCase{"CSV_whole",
                 {{"plan.csv", "address,mac\r\n10.0.0.7,M7\r\n"}},
                 "plan.csv",
                 {"10.0.0.7 M7"},
                 {}},
        SiteCase{"JSON_plan_cut",
                 {{"plan.json", R"([{"address": "10.0.0.7"}, {"addr)"}},
                 "plan.json",
                 {},
                 {},
                 "plan.json"},
        SiteCase{"backup_in_a_folder_cut",
                 {{"b/a.json", Backup("10.0.0.3", "NEW", "2026-12-07T21:00:00+00:00")},
                  {"b/b.json", R"({"address": "10.0.0.4", "mac": "M)"}},
                 "b",
                 {},
                 {},
                 "b.json"}),
    kLabel);

struct ReadAtCase {
    const char* label;
    const char* text;
    std::optional<long long> seconds;
};

class ReadAtTest : public ::testing::TestWithParam<ReadAtCase> {};

TEST_P(ReadAtTest, InSecondsSinceTheEpoch) {
    EXPECT_EQ(exporter::ReadAtSeconds(GetParam().text), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Exporter, ReadAtTest,
    ::testing::Values(ReadAtCase{"utc_Z", "1970-01-02T00:00:01Z", 86401},
                      ReadAtCase{"east_of_utc", "1970-01-02T01:30:01+01:30", 86401},
                      ReadAtCase{"west_of_utc", "1970-01-01T19:00:01-05:00", 86401},
                      ReadAtCase{"as_backup_writes_it", "2026-12-07T20:35:01+01:00", 1796672101},
                      ReadAtCase{"no_offset", "2026-12-07T20:35:01", std::nullopt},
                      ReadAtCase{"offset_without_colon", "2026-12-07T20:35:01+0100", std::nullopt},
                      ReadAtCase{"month_13", "2026-13-07T20:35:01Z", std::nullopt},
                      ReadAtCase{"space_for_T", "2026-12-07 20:35:01Z", std::nullopt},
                      ReadAtCase{"trailing_text", "2026-12-07T20:35:01Zx", std::nullopt},
                      ReadAtCase{"empty", "", std::nullopt}),
    kLabel);

TEST(ReloadMetric, AFailedReloadShowsAndKeepsTheLastGoodTime) {
    exporter::SelfMetrics m;
    const exporter::ProberStats stats;
    m.Reloaded(true, 1000);
    EXPECT_NE(m.Text("v", stats, 1).find("\norvan_exporter_desired_last_reload_successful 1\n"),
              std::string::npos);
    m.Reloaded(false, 2000);
    const std::string text = m.Text("v", stats, 1);
    EXPECT_NE(text.find("\norvan_exporter_desired_last_reload_successful 0\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\norvan_exporter_desired_last_reload_success_timestamp_seconds 1000\n"),
              std::string::npos)
        << text;
}

}  // namespace
