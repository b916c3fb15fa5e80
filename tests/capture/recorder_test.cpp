// The capture file's bounds: the size limit, files it refuses, a disk that fails, and how soon
// what was recorded can be read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "base/error.h"
#include "capture/recorder.h"
#include "tshark.h"

namespace {

using namespace testing_support;

const capture::Endpoint kLocal{0x7F000001, 8090}, kPeer{0x7F000002, 6022};

class CaptureRecorderTest : public ::testing::Test {
protected:
    CaptureDir tmp_;
    capture::Options& options_ = tmp_.options;
};

TEST_F(CaptureRecorderTest, StopsAtTheLimitWithOneLineAndAFinalComment) {
    options_.limit = std::uint64_t{1} << 20;
    const std::string datagram(1000, 'x');
    testing::internal::CaptureStderr();
    int recorded = 0;
    {
        capture::Recorder recorder(options_);
        for (int i = 0; i < 3000 && !recorder.Stopped(); ++i, ++recorded) {
            recorder.Udp(i % 2 == 1, kLocal, kPeer, datagram, capture::Clock::now());
        }
        EXPECT_TRUE(recorder.Stopped());
        recorder.Udp(false, kLocal, kPeer, "after", capture::Clock::now());  // not recorded
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
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
    EXPECT_EQ(rows.back(),
              "28\t1028\tcapture stopped: the file reached its limit of 1 MB; nothing after "
              "this packet is recorded")
        << "the last packet keeps its headers only";
}

// The header and the interface as capinfos reads them, and the file readable while the recorder is
// still open, as after the program was killed.
TEST_F(CaptureRecorderTest, HeaderAtOnceAndPacketsWithinASecond) {
    capture::Recorder recorder(options_);
    recorder.Udp(false, kLocal, kPeer, "first", capture::Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string info;
    for (const auto& line : Lines("capinfos '" + options_.path + "' 2>/dev/null")) {
        info += line + "\n";
    }
    utsname machine{};
    ASSERT_EQ(::uname(&machine), 0);
    for (const std::string& line :
         {"Capture hardware:    " + std::string(machine.machine) + "\n",
          "Capture oper-sys:    Linux " + std::string(machine.release) + "\n",
          std::string("Capture application: orvan_test 1\n"),
          "Capture comment:     orvan_test 1 on " + std::string(host) + ", capture started 20",
          std::string("Name = orvan_test\n"), std::string("Encapsulation = Raw IP"),
          std::string("Time precision = microseconds (6)")}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << " not in " << info;
    }
    EXPECT_EQ(Tshark(options_.path, "-T fields -e udp.payload"),
              std::vector<std::string>{Hex("first")});
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
    ASSERT_EQ(std::system(("cd '" + tmp_.dir + "' && echo old >target && " + row.setUp).c_str()),
              0);
    options_.overwrite = row.overwrite;
    std::string error;
    try {
        capture::Recorder recorder(options_);
        recorder.Udp(true, kLocal, kPeer, "new", capture::Clock::now());
    } catch (const base::Error& e) {
        error = e.what();
    }
    EXPECT_EQ(ReadFile(tmp_.dir + "/target"), "old\n") << "a link's target is never written";
    if (*row.message == '\0') {
        EXPECT_EQ(error, "");
        EXPECT_EQ(Tshark(options_.path, "-T fields -e udp.payload"),
                  std::vector<std::string>{Hex("new")});
    } else {
        EXPECT_EQ(error, "Cannot create capture file " + options_.path + ": " + row.message);
    }
}

const RefusalRow kRefusals[] = {
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
    const std::string errors = tmp_.dir + "/stderr";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
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
    EXPECT_EQ(ReadFile(errors),
              "orvan_test: capture stopped: cannot write " + options_.path + ": File too large\n");
}

}  // namespace
