// The capture file's bounds: the size limit, files it refuses, a disk that fails, and how soon
// what was recorded can be read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "base/error.h"
#include "capture/recorder.h"
#include "tshark.h"

namespace {

using testing_support::Split;
using testing_support::Tshark;

const capture::Endpoint kLocal{0x7F000001, 8090}, kPeer{0x7F000002, 6022};

class CaptureRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/capture_test.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        options_.path = dir_ + "/traffic.pcapng";
        options_.program = "orvan_test";
        options_.application = "orvan_test 1";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir_;
    capture::Options options_;
};

TEST_F(CaptureRecorderTest, StopsAtTheLimitWithOneLineAndAFinalComment) {
    options_.limit = std::uint64_t{1} << 20;
    const std::string datagram(1000, 'x');
    testing::internal::CaptureStderr();
    int recorded = 0;
    {
        capture::Recorder recorder(options_);
        for (int i = 0; i < 3000; ++i) {
            if (recorder.Stopped()) break;
            recorder.Udp(i % 2 == 1, kLocal, kPeer, datagram, capture::Clock::now());
            ++recorded;
        }
        EXPECT_TRUE(recorder.Stopped());
        recorder.Udp(false, kLocal, kPeer, "after", capture::Clock::now());  // not recorded
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "orvan_test: capture stopped: " + options_.path + " reached the limit of 1 MB\n");
    struct stat st {};
    ASSERT_EQ(::stat(options_.path.c_str(), &st), 0);
    EXPECT_LE(st.st_size, 1 << 20);
    EXPECT_GT(st.st_size, (1 << 20) - 4096) << "stopped long before the limit";
    int status = -1;
    const auto rows =
        Tshark(options_.path, "-T fields -e frame.cap_len -e frame.len -e frame.comment", &status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(recorded));
    for (std::size_t i = 0; i + 1 < rows.size(); ++i) ASSERT_EQ(rows[i], "1028\t1028\t") << i;
    const auto last = Split(rows.back());
    EXPECT_EQ(last[0], "28") << "the last packet keeps its headers only";
    EXPECT_EQ(last[1], "1028");
    EXPECT_NE(last[2].find("capture stopped: the file reached its limit of 1 MB"),
              std::string::npos)
        << last[2];
}

TEST_F(CaptureRecorderTest, HeaderNamesTheProgramHostAndStart) {
    { capture::Recorder recorder(options_); }
    const std::string file = Read(options_.path);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_NE(file.find("orvan_test 1 on " + std::string(host) + ", capture started 20"),
              std::string::npos);
    std::FILE* capinfos = ::popen(("capinfos '" + options_.path + "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(capinfos, nullptr);
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, capinfos)) > 0;) {
        out.append(buffer, n);
    }
    ::pclose(capinfos);
    EXPECT_NE(out.find("Capture application: orvan_test 1"), std::string::npos) << out;
    EXPECT_NE(out.find("Capture comment:     orvan_test 1 on "), std::string::npos) << out;
    EXPECT_NE(out.find("Time precision = microseconds (6)"), std::string::npos) << out;
}

TEST_F(CaptureRecorderTest, WhatWasRecordedIsInTheFileWithinASecond) {
    capture::Recorder recorder(options_);
    recorder.Udp(false, kLocal, kPeer, "first", capture::Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // Read while the recorder is still open, as after the program was killed.
    EXPECT_EQ(Tshark(options_.path, "-T fields -e udp.payload"),
              std::vector<std::string>{"6669727374"});
}

struct RefusalRow {
    const char* name;
    const char* setUp;  // shell commands run in the test's folder; the capture is "traffic.pcapng"
    bool overwrite;
    const char* message;  // "" when the capture is made
};

void PrintTo(const RefusalRow& row, std::ostream* os) {
    *os << row.name;
}

class CaptureRefusalTest : public CaptureRecorderTest,
                           public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(CaptureRefusalTest, ExistingFilesAndLinks) {
    const RefusalRow& row = GetParam();
    ASSERT_EQ(std::system(("cd '" + dir_ + "' && echo old >target && " + row.setUp).c_str()), 0);
    options_.overwrite = row.overwrite;
    std::string error;
    try {
        capture::Recorder recorder(options_);
        recorder.Udp(true, kLocal, kPeer, "new", capture::Clock::now());
    } catch (const base::Error& e) {
        error = e.what();
    }
    EXPECT_EQ(Read(dir_ + "/target"), "old\n") << "a link's target is never written";
    if (*row.message == '\0') {
        EXPECT_EQ(error, "");
        EXPECT_EQ(Tshark(options_.path, "-T fields -e udp.payload"),
                  std::vector<std::string>{"6e6577"});
        return;
    }
    EXPECT_EQ(error, "Cannot create capture file " + options_.path + ": " + row.message);
}

const RefusalRow kRefusals[] = {
    {"new_file", "true", false, ""},
    {"existing_file", "echo old >traffic.pcapng", false,
     "it exists (--capture-overwrite replaces it)"},
    {"existing_file_overwritten", "echo old-and-longer >traffic.pcapng", true, ""},
    {"link_to_a_file", "ln -s target traffic.pcapng", false,
     "it exists (--capture-overwrite replaces it)"},
    {"link_to_a_file_overwrite", "ln -s target traffic.pcapng", true, "it is a symbolic link"},
    {"dangling_link_overwrite", "ln -s nowhere traffic.pcapng", true, "it is a symbolic link"},
    {"directory_overwrite", "mkdir traffic.pcapng", true, "Is a directory"},
    {"fifo_overwrite", "mkfifo traffic.pcapng", true, "No such device or address"},
};

INSTANTIATE_TEST_SUITE_P(Rows, CaptureRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// A file size limit stands for a full disk: writing fails part-way, and the program goes on.
TEST_F(CaptureRecorderTest, AWriteFailureStopsCapturingNotTheProgram) {
    const std::string errors = dir_ + "/stderr";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int code = 0;
        try {
            capture::Recorder recorder(options_);
            for (int i = 0; i < 1000; ++i) {
                recorder.Udp(false, kLocal, kPeer, std::string(1000, 'x'), capture::Clock::now());
                if (i % 100 == 99) recorder.Flush();
            }
            if (!recorder.Stopped()) code = 3;
        } catch (...) {
            code = 4;
        }
        ::_exit(code);  // reached: the program was not stopped
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read(errors),
              "orvan_test: capture stopped: cannot write " + options_.path + ": File too large\n");
}

}  // namespace
