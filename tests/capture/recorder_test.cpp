// The capture file's bounds: the size limit, files it refuses, a disk that fails or a kill (whole
// blocks either way), a writer held back, and how soon what was recorded can be read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <ctime>
#include <functional>
#include <mutex>
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
    const auto size = [&] {
        struct stat st {};
        return ::stat(options_.path.c_str(), &st) == 0 ? st.st_size : off_t(-1);
    };
    const off_t header = size();
    EXPECT_GT(header, 0);
    const std::time_t recorded = std::time(nullptr);
    recorder.Udp(false, kLocal, kPeer, "first", capture::Clock::now());
    // Written every quarter of a second without a flush: ten of those at most, even when loaded.
    for (int waited = 0; size() == header && waited < 2500; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
    const auto rows = Tshark(options_.path, "-T fields -e udp.payload -e frame.time_epoch");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Split(rows[0])[0], Hex("first"));
    EXPECT_NEAR(std::stod(Split(rows[0])[1]), double(recorded), 5) << "dated when it was recorded";
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

// The datagrams of the failure tests; some longer than a page of the file: writes that fail
// part-way.
void RecordDatagrams(capture::Recorder& recorder) {
    for (int i = 0; i < 1000; ++i) {
        recorder.Udp(false, kLocal, kPeer, std::string(i % 4 ? 1000 + i % 7 : 6000, 'x'),
                     capture::Clock::now());
        if (i % 100 == 99) recorder.Flush();
    }
}

// In a child process, after `prepare` (77: cannot here): datagrams until capturing stops, with
// stderr in DIR/stderr and the file copied to DIR/kept.pcapng. The child's exit status.
int RecordUntilAWriteFails(const capture::Options& options, const std::string& dir,
                           const std::function<bool()>& prepare) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (!prepare()) ::_exit(77);
        int code = 0;
        try {
            {
                capture::Recorder recorder(options);
                RecordDatagrams(recorder);
                if (!recorder.Stopped()) code = 3;
            }
            std::ofstream(dir + "/kept.pcapng", std::ios::binary) << ReadFile(options.path);
        } catch (...) {
            code = 4;
        }
        ::_exit(code);  // reached: the program was not stopped
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::uint32_t Word(const std::string& bytes, std::size_t at) {
    std::uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = word << 8 | std::uint8_t(bytes[at + i]);
    return word;
}

// Cut back to its last whole block: tshark reads it to the end without a torn packet. With
// `room`, the bytes the disk took: every block that fitted whole is kept, in the layout the
// same datagrams get in a file nothing stops.
void ExpectWholeBlocks(const std::string& file, std::size_t room = 0) {
    int status = -1;
    const auto rows = Tshark(file, "-T fields -e frame.number", &status);
    EXPECT_EQ(status, 0) << "a torn block at the end of " << file;
    EXPECT_GT(rows.size(), 10u);
    if (room == 0) return;
    CaptureDir whole;
    {
        capture::Recorder recorder(whole.options);
        RecordDatagrams(recorder);
    }
    const std::string all = ReadFile(whole.options.path);
    std::size_t fits = 0, packets = 0;
    while (fits + 8 <= all.size() && fits + Word(all, fits + 4) <= room) {
        packets += Word(all, fits) == 6;  // an enhanced packet block
        fits += Word(all, fits + 4);
    }
    EXPECT_EQ(ReadFile(file).size(), fits);
    EXPECT_EQ(rows.size(), packets);
}

// A file size limit stands for a full disk: writing fails part-way, and the program goes on.
TEST_F(CaptureRecorderTest, AWriteFailureStopsCapturingNotTheProgram) {
    EXPECT_EQ(RecordUntilAWriteFails(options_, tmp_.dir,
                                     [] {
                                         const rlimit limit{65000, 65000};
                                         return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
                                     }),
              0);
    EXPECT_EQ(ReadFile(tmp_.dir + "/stderr"),
              "orvan_test: capture stopped: cannot write " + options_.path + ": File too large\n");
    ExpectWholeBlocks(tmp_.dir + "/kept.pcapng", 65000);
}

// A tmpfs of its own on `dir`, in a mount namespace of its own: false where that cannot be.
bool MountTmpfs(const std::string& dir, const char* size) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("capture", dir.c_str(), "tmpfs", 0, size) == 0;
}

TEST_F(CaptureRecorderTest, AFullDiskLeavesWholeBlocks) {
    const std::string disk = tmp_.dir + "/disk";
    ASSERT_EQ(::mkdir(disk.c_str(), 0700), 0);
    options_.path = disk + "/traffic.pcapng";
    const int status =
        RecordUntilAWriteFails(options_, tmp_.dir, [&] { return MountTmpfs(disk, "size=64k"); });
    if (status == 77) GTEST_SKIP() << "no mount namespace of its own here (not root)";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(tmp_.dir + "/stderr"), "orvan_test: capture stopped: cannot write " +
                                                  options_.path + ": No space left on device\n");
    ExpectWholeBlocks(tmp_.dir + "/kept.pcapng", 64 << 10);
}

// Killed while writing, at a few moments: whole blocks each time. The kill comes as the kernel
// takes it: the write goes on to the end of the page of the file it is in, then the program dies.
TEST_F(CaptureRecorderTest, AKillWhileWritingLeavesWholeBlocks) {
    for (const off_t killedAt : {100000, 300001, 1500000, 2600002, 4000003}) {
        SCOPED_TRACE("killed while writing byte " + std::to_string(killedAt));
        ::unlink(options_.path.c_str());
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            options_.write = [&](int fd, const char* bytes, std::size_t size) {
                const off_t at = ::lseek(fd, 0, SEEK_CUR);
                if (at + off_t(size) > killedAt) {
                    const off_t pageEnd = (killedAt / 4096 + 1) * 4096;
                    if (::write(fd, bytes, std::min(size, std::size_t(pageEnd - at))) >= 0) {
                        ::raise(SIGKILL);
                    }
                }
                return ::write(fd, bytes, size);
            };
            capture::Recorder recorder(options_);
            const std::string datagram(700 + killedAt % 10 * 301, 'k');
            for (int i = 0; i < 100000; ++i) {
                recorder.Udp(true, kLocal, kPeer, datagram, capture::Clock::now());
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "never killed";
        ExpectWholeBlocks(options_.path);
    }
}

// The writer held in its write: records past the bound are dropped, not kept in memory, and the
// first packet recorded after says how many.
TEST_F(CaptureRecorderTest, AHeldWriterDropsPastTheBoundAndSaysSo) {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, released = false;
    options_.limit = std::uint64_t{1} << 30;
    options_.write = [&](int fd, const char* bytes, std::size_t size) {
        std::unique_lock lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        return ::write(fd, bytes, size);
    };
    const auto residentMiB = [] {
        long pages = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> pages >> resident;
        return resident * ::sysconf(_SC_PAGESIZE) >> 20;
    };
    capture::Recorder recorder(options_);
    recorder.Udp(true, kLocal, kPeer, "first", capture::Clock::now());
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return held; }));
    }
    [[maybe_unused]] const long before = residentMiB();
    constexpr int kFlood = 6 * (capture::Recorder::kMaxWaiting >> 10);  // 1 KiB datagrams
    for (int i = 0; i < kFlood; ++i) {
        recorder.Udp(true, kLocal, kPeer, std::string(1024, 'h'), capture::Clock::now());
    }
#ifndef __SANITIZE_ADDRESS__  // the sanitizer keeps freed memory in quarantine
    EXPECT_LT(residentMiB() - before, 3 * long(capture::Recorder::kMaxWaiting >> 20));
#endif
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    recorder.Flush();
    recorder.Udp(true, kLocal, kPeer, "after", capture::Clock::now());
    recorder.Flush();
    const auto comments = Tshark(options_.path, "-T fields -e frame.comment");
    ASSERT_GE(comments.size(), 3u);
    const int kept = int(comments.size()) - 2;
    EXPECT_LT(kept * 1024, int(capture::Recorder::kMaxWaiting));
    EXPECT_EQ(comments.back(), std::to_string(kFlood - kept) +
                                   " packet(s) before this one not recorded: the disk was slower "
                                   "than the traffic");
}

}  // namespace
