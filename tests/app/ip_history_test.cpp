#include "app/ip_history.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/error.h"

namespace {

using History = std::vector<std::string>;

struct AddCase {
    const char* label;
    History before;
    std::string address;
    History after;
};

class AddToHistoryTest : public ::testing::TestWithParam<AddCase> {};

TEST_P(AddToHistoryTest, FollowsTheRule) {
    History history = GetParam().before;
    app::AddToHistory(history, GetParam().address, 3);
    EXPECT_EQ(history, GetParam().after);
}

const AddCase kAdds[] = {
    {"first", {}, "10.0.0.1", {"10.0.0.1"}},
    {"empty_text", {"10.0.0.1"}, "", {"10.0.0.1"}},
    {"loopback", {"10.0.0.1"}, "127.0.0.1", {"10.0.0.1"}},
    {"other_loopback_counts", {}, "127.0.0.2", {"127.0.0.2"}},
    {"repeat_of_newest", {"10.0.0.1", "10.0.0.2"}, "10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
    {"repeat_of_older", {"10.0.0.1", "10.0.0.2"}, "10.0.0.1", {"10.0.0.1", "10.0.0.2", "10.0.0.1"}},
    {"oldest_dropped",
     {"10.0.0.1", "10.0.0.2", "10.0.0.3"},
     "10.0.0.4",
     {"10.0.0.2", "10.0.0.3", "10.0.0.4"}},
};

INSTANTIATE_TEST_SUITE_P(Table, AddToHistoryTest, ::testing::ValuesIn(kAdds),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(HistoryFileBytes, OneLinePerAddressEachEndingInCrLf) {
    EXPECT_EQ(app::HistoryFileBytes({}), "");
    EXPECT_EQ(app::HistoryFileBytes({"10.0.0.1"}), "10.0.0.1\r\n");
    EXPECT_EQ(app::HistoryFileBytes({"10.0.0.1", "192.168.1.20"}), "10.0.0.1\r\n192.168.1.20\r\n");
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// What stands at the file's place or at its temporary's place before the replacement.
enum class Before { Nothing, File, DirectoryAtPath, DirectoryAtTemporary };

struct ReplaceCase {
    const char* label;
    Before before;
    const char* error;  // nullptr: the replacement succeeds
};

class ReplaceFileTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceFileTest, ReplacesOrLeavesTheEarlierFile) {
    char dir_template[] = "/tmp/iphistXXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/iphist.dat";
    const std::string old_bytes = "10.9.9.9\r\n10.9.9.8\r\n10.9.9.7\r\n";
    const Before before = GetParam().before;
    if (before == Before::File || before == Before::DirectoryAtTemporary) {
        std::ofstream(path, std::ios::binary) << old_bytes;
    }
    if (before == Before::DirectoryAtPath) std::filesystem::create_directory(path);
    if (before == Before::DirectoryAtTemporary) std::filesystem::create_directory(path + ".tmp");

    if (!GetParam().error) {
        app::ReplaceFile(path, "10.0.0.1\r\n");
        EXPECT_EQ(Read(path), "10.0.0.1\r\n");
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    } else {
        try {
            app::ReplaceFile(path, "10.0.0.1\r\n");
            ADD_FAILURE() << "no error";
        } catch (const base::Error& e) {
            EXPECT_EQ(e.what(), "Cannot create file \"" + path + "\". " + GetParam().error);
        }
        EXPECT_EQ(std::filesystem::is_directory(path), before == Before::DirectoryAtPath);
        if (before == Before::DirectoryAtTemporary) {
            EXPECT_EQ(Read(path), old_bytes);
        }
    }
    std::filesystem::remove_all(dir);
}

const ReplaceCase kReplacements[] = {
    {"new_file", Before::Nothing, nullptr},
    {"longer_earlier_file", Before::File, nullptr},
    {"directory_in_its_place", Before::DirectoryAtPath, "Is a directory"},
    {"temporary_cannot_be_made", Before::DirectoryAtTemporary, "Is a directory"},
};

INSTANTIATE_TEST_SUITE_P(Table, ReplaceFileTest, ::testing::ValuesIn(kReplacements),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
