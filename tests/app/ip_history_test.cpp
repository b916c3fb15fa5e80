#include "app/ip_history.h"

#include <sys/resource.h>

#include <csignal>

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

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

TEST(ReplaceFile, FailureLeavesTheEarlierFileAsItWas) {
    char dir_template[] = "/tmp/iphistXXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/iphist.dat";
    std::ofstream(path, std::ios::binary) << "10.9.9.9\r\n";
    // A write the system refuses half-way: files may grow to 4 bytes only.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = signal(SIGXFSZ, SIG_IGN);
    const rlimit low{4, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    std::string message;
    try {
        app::ReplaceFile(path, "10.0.0.1\r\n");
    } catch (const base::Error& e) {
        message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldSignal);
    // The temporary that failed is named, and gone.
    EXPECT_TRUE(message.starts_with("Cannot create file \"" + dir + "/.iphist.dat.")) << message;
    EXPECT_TRUE(message.ends_with("\". File too large")) << message;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "10.9.9.9\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::filesystem::remove_all(dir);
}

}  // namespace
