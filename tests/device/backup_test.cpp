// Backup file names and writes, the audit log: on a real file system, planted links included.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/error.h"
#include "device/audit_log.h"
#include "device/backup.h"
#include "device/port.h"

namespace {

namespace fs = std::filesystem;

TEST(Backup, SafeFileNameKeepsWhatIsSafe) {
    const std::pair<std::string, std::string> rows[] = {
        {"00:AC 6E", "00_AC_6E"},
        {"../../etc/passwd", "_._.._etc_passwd"},
        {"..", ""},
        {"\xC6/\x1B", ""},
        {"\xC6\xC6-01", "__-01"},
        {std::string(100, 'A'), std::string(64, 'A')}};
    for (const auto& [mac, name] : rows) EXPECT_EQ(device::SafeFileName(mac), name) << mac;
}

class FolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvan-backup-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string dir_;
};

// A backup replaces a planted link, the audit log refuses it (and a fifo): the target is kept.
TEST_F(FolderTest, APlantedLinkIsNotFollowed) {
    const std::string target = dir_ + "/target";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, dir_ + "/a.json");
    device::WriteFileWhole(dir_, "a.json", "{}\n");
    EXPECT_FALSE(fs::is_symlink(dir_ + "/a.json"));
    EXPECT_EQ(Read(dir_ + "/a.json"), "{}\n");
    // Nothing else is left beside it: no temporary.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.json", "target"}));
    fs::create_symlink(target, dir_ + "/link.log");
    EXPECT_THROW(device::AuditLog(dir_ + "/link.log"), base::Error);
    ASSERT_EQ(::mkfifo((dir_ + "/fifo.log").c_str(), 0600), 0);
    EXPECT_THROW(device::AuditLog(dir_ + "/fifo.log"), base::Error);
    EXPECT_EQ(Read(target), "keep");
}

TEST_F(FolderTest, WriteIntoAMissingFolderSaysWhere) {
    try {
        device::WriteFileWhole(dir_ + "/none", "a.json", "x");
        ADD_FAILURE() << "no error";
    } catch (const base::Error& e) {
        EXPECT_NE(std::string(e.what()).find(dir_ + "/none"), std::string::npos) << e.what();
    }
}

TEST_F(FolderTest, AuditLogAppendsWholeLinesAndNeverTruncates) {
    const std::string path = dir_ + "/site.log";
    std::ofstream(path) << "earlier\n";
    // Two logs at once on one file: every line whole.
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            device::AuditLog log(path);
            for (int i = 0; i < 200; ++i) log.Append(std::string(500, char('x' + w)));
        });
    }
    for (auto& t : writers) t.join();
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "earlier");
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_TRUE(line == std::string(500, 'x') || line == std::string(500, 'y')) << line;
    }
    EXPECT_EQ(lines, 400);
}

// Anyone who can read the log can lock it: the wait ends, naming the holder, or at a stop,
// and nothing is written meanwhile.
TEST_F(FolderTest, AuditLogWaitsForItsLockNoLongerThanItsWait) {
    const std::string path = dir_ + "/site.log";
    device::AuditLog log(path, std::chrono::milliseconds(200));
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    // A wait without an end never returns here: the suite's timeout for this test fails it.
    try {
        log.Append("line");
        ADD_FAILURE() << "no error";
    } catch (const device::Interrupted&) {
        ADD_FAILURE() << "not a stop";
    } catch (const base::Error& e) {
        EXPECT_NE(std::string(e.what()).find(" is locked by another program ("), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("process " + std::to_string(::getpid()) + ")"),
                  std::string::npos)
            << e.what();
    }
    device::RequestStop();
    EXPECT_THROW(device::AuditLog(path, std::chrono::hours(1)).WaitForTurn(), device::Interrupted);
    device::ClearStop();
    ::close(reader);
    log.Append("line");
    EXPECT_EQ(Read(path), "line\n");
}

// Watches the calls that make a write last, in their order.
class WatchedCalls : public device::FileCalls {
public:
    int Sync(int fd) override {
        struct stat st {};
        ::fstat(fd, &st);
        steps.push_back(S_ISDIR(st.st_mode) ? "sync folder" : "sync file");
        return FileCalls::Sync(fd);
    }
    int Rename(const std::string& from, const std::string& to, bool replace) override {
        steps.push_back(replace ? "rename" : "rename unless taken");
        return FileCalls::Rename(from, to, replace);
    }
    std::vector<std::string> steps;
};

// A crash after the rename must not leave a named file whose bytes never reached the disk.
TEST_F(FolderTest, AFileIsOnTheDiskBeforeItIsNamed) {
    WatchedCalls calls;
    EXPECT_TRUE(device::WriteFileWhole(dir_, "a.json", "{}\n", true, calls));
    device::BackupFolder folder(dir_, calls);
    folder.Write("b", "{}\n", [](std::string_view) { return false; });
    EXPECT_EQ(calls.steps,
              (std::vector<std::string>{"sync file", "rename", "sync folder", "sync file",
                                        "rename unless taken", "sync folder"}));
}

struct NameCase {
    const char* label;
    // Planted first: "same" and "other" hold this or another device; "link" (to a file
    // beside), "folder" and "fifo" are what they say.
    std::vector<std::pair<std::string, std::string>> planted;
    std::vector<std::string> written;  // one backup of the device after another, in one run
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.label;
}

class NameTest : public FolderTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameTest, NeverReplacesAnotherDevicesFile) {
    const NameCase& c = GetParam();
    std::ofstream(dir_ + "/target") << "keep";
    for (const auto& [name, kind] : c.planted) {
        const std::string path = dir_ + "/" + name;
        if (kind == "link") fs::create_symlink(dir_ + "/target", path);
        if (kind == "folder") fs::create_directory(path);
        if (kind == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        if (kind == "same" || kind == "other") std::ofstream(path) << kind;
    }
    device::BackupFolder folder(dir_);
    std::vector<std::string> written;
    for (std::size_t i = 0; i < c.written.size(); ++i)
        written.push_back(folder.Write("M", "new", [](std::string_view b) { return b == "same"; }));
    EXPECT_EQ(written, c.written);
    for (const std::string& name : written) {
        EXPECT_EQ(Read(dir_ + "/" + name), "new") << name;
    }
    for (const auto& [name, kind] : c.planted) {
        if (kind == "other") {
            EXPECT_EQ(Read(dir_ + "/" + name), "other") << name;
        }
    }
    EXPECT_EQ(Read(dir_ + "/target"), "keep");
}

INSTANTIATE_TEST_SUITE_P(
    Backup, NameTest,
    ::testing::Values(
        NameCase{"free", {}, {"M.json"}},
        NameCase{"the_same_device_replaced", {{"M.json", "same"}}, {"M.json"}},
        NameCase{"another_device_kept", {{"M.json", "other"}}, {"M~2.json"}},
        NameCase{"past_two_others", {{"M.json", "other"}, {"M~2.json", "other"}}, {"M~3.json"}},
        NameCase{"the_same_device_after_another",
                 {{"M.json", "other"}, {"M~2.json", "same"}},
                 {"M~2.json"}},
        NameCase{"a_link_replaced_not_followed", {{"M.json", "link"}}, {"M.json"}},
        NameCase{"a_fifo_replaced_without_waiting", {{"M.json", "fifo"}}, {"M.json"}},
        NameCase{"a_folder_in_the_way", {{"M.json", "folder"}}, {"M~2.json"}},
        NameCase{"twice_in_one_run", {}, {"M.json", "M~2.json"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Backup, Iso8601CarriesTheOffset) {
    const auto when = std::chrono::system_clock::from_time_t(1796675400);  // 2026-12-07 20:30 UTC
    for (const auto& [tz, text] : {std::pair{"UTC-3", "2026-12-07T23:30:00+03:00"},
                                   std::pair{"UTC", "2026-12-07T20:30:00+00:00"}}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(device::Iso8601(when), text);
    }
}

}  // namespace
