// The history file written into a real folder that someone else may have prepared.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/ip_history.h"
#include "base/error.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

class HistoryFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/orvan-history-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        file_ = dir_ / "iphist.dat";
    }
    void TearDown() override {
        ::chmod(dir_.c_str(), 0700);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // The message of the error that the write raises, or "" when it succeeds.
    std::string Replace(const std::string& bytes) {
        try {
            app::ReplaceFile(file_.string(), bytes);
        } catch (const base::Error& error) {
            return error.what();
        }
        return "";
    }

    // What the folder holds besides `expected` entries: a temporary left behind shows here.
    std::size_t Entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    fs::path dir_, file_;
};

TEST_F(HistoryFileTest, NewFileGetsTheBytesAndTheUsualMode) {
    const mode_t mask = ::umask(022);
    EXPECT_EQ(Replace("10.0.0.1\r\n"), "");
    ::umask(mask);
    EXPECT_EQ(Read(file_), "10.0.0.1\r\n");
    EXPECT_EQ(ModeOf(file_), 0644u);
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(HistoryFileTest, EarlierFileIsReplacedAndKeepsItsMode) {
    Write(file_, "10.9.9.9\r\n10.9.9.8\r\n");
    ASSERT_EQ(::chmod(file_.c_str(), 0640), 0);
    EXPECT_EQ(Replace(""), "");
    EXPECT_EQ(Read(file_), "");
    EXPECT_EQ(ModeOf(file_), 0640u);
    EXPECT_EQ(Entries(), 1u);
}

// What a planted name beside the file used to catch: none of it is opened or followed.
TEST_F(HistoryFileTest, PlantedNamesBesideTheFileAreLeftAlone) {
    const fs::path victim = dir_ / "victim";
    Write(victim, "precious");
    fs::create_symlink(victim, dir_ / "iphist.dat.tmp");
    ASSERT_EQ(::mkfifo((dir_ / ".iphist.dat.tmp").c_str(), 0600), 0);
    fs::create_directory(dir_ / "iphist.dat.new");
    EXPECT_EQ(Replace("10.0.0.1\r\n"), "");
    EXPECT_EQ(Read(victim), "precious");
    EXPECT_TRUE(fs::is_symlink(dir_ / "iphist.dat.tmp"));
    EXPECT_FALSE(fs::is_symlink(file_));
    EXPECT_EQ(Read(file_), "10.0.0.1\r\n");
    EXPECT_EQ(Entries(), 5u);
}

// A FIFO where the file goes is replaced, never opened: opening it would wait for a reader.
TEST_F(HistoryFileTest, FifoAtTheFileIsReplacedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
    EXPECT_EQ(Replace("10.0.0.1\r\n"), "");
    EXPECT_TRUE(fs::is_regular_file(file_));
    EXPECT_EQ(Read(file_), "10.0.0.1\r\n");
}

TEST_F(HistoryFileTest, SymlinkIsWrittenThroughToItsTarget) {
    fs::create_directory(dir_ / "keep");
    const fs::path target = dir_ / "keep" / "history.txt";
    Write(target, "10.9.9.9\r\n");
    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    fs::create_symlink("keep/history.txt", file_);
    EXPECT_EQ(Replace("10.0.0.2\r\n"), "");
    EXPECT_TRUE(fs::is_symlink(file_));
    EXPECT_EQ(Read(target), "10.0.0.2\r\n");
    EXPECT_EQ(ModeOf(target), 0604u);
    EXPECT_EQ(Entries(), 2u);  // the link and the folder
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "keep"), {}), 1);
}

struct Refusal {
    const char* label;
    void (*prepare)(const fs::path& dir, const fs::path& file);
    const char* reason;
};

class HistoryFileRefusalTest : public HistoryFileTest,
                               public ::testing::WithParamInterface<Refusal> {};

// Each ends in the error that names the file, leaves what was there, and never waits.
TEST_P(HistoryFileRefusalTest, NamesTheFileAndChangesNothing) {
    GetParam().prepare(dir_, file_);
    const std::size_t before = Entries();
    const std::string message = Replace("10.0.0.1\r\n");
    EXPECT_EQ(message, "Cannot create file \"" + file_.string() + "\". " + GetParam().reason);
    EXPECT_EQ(Entries(), before);
}

const Refusal kRefusals[] = {
    {"directory_at_the_file", [](const fs::path&, const fs::path& f) { fs::create_directory(f); },
     "Is a directory"},
    {"symlink_to_a_directory",
     [](const fs::path& d, const fs::path& f) {
         fs::create_directory(d / "sub");
         fs::create_symlink(d / "sub", f);
     },
     "Is a directory"},
    {"symlink_to_a_fifo",
     [](const fs::path& d, const fs::path& f) {
         ASSERT_EQ(::mkfifo((d / "pipe").c_str(), 0600), 0);
         fs::create_symlink(d / "pipe", f);
     },
     "Not a regular file"},
    {"dangling_symlink",
     [](const fs::path& d, const fs::path& f) { fs::create_symlink(d / "gone" / "x", f); },
     "No such file or directory"},
};

INSTANTIATE_TEST_SUITE_P(Table, HistoryFileRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.label); });

// Runs `body` in a child that may not create files in the folder: as root, the child gives
// up its rights, since root writes into any folder.
int InFolderThatRefusesNewFiles(const fs::path& dir, const fs::path& file, void (*body)()) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0) {
            if (::chown(dir.c_str(), 65534, 65534) != 0 ||
                ::chown(file.c_str(), 65534, 65534) != 0 || ::setgid(65534) != 0 ||
                ::setuid(65534) != 0) {
                ::_exit(77);
            }
        }
        if (::chmod(dir.c_str(), 0555) != 0) ::_exit(3);
        // Still able to make files here: nothing to show.
        const int probe = ::open((dir / "probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (probe >= 0) ::_exit(77);
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

std::string g_file;

TEST_F(HistoryFileTest, FolderThatRefusesNewFilesGetsTheFileWrittenInPlace) {
    Write(file_, "10.9.9.9\r\n10.9.9.8\r\n10.9.9.7\r\n");
    ASSERT_EQ(::chmod(file_.c_str(), 0666), 0);
    g_file = file_.string();
    const int code = InFolderThatRefusesNewFiles(dir_, file_, [] {
        try {
            app::ReplaceFile(g_file, "10.0.0.3\r\n");
        } catch (const base::Error&) {
            ::_exit(4);
        }
    });
    if (code == 77) GTEST_SKIP() << "cannot make a folder that refuses new files here";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Read(file_), "10.0.0.3\r\n");
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(HistoryFileTest, GoneWorkingFolderIsNamedInFull) {
    const fs::path here = fs::current_path();
    fs::create_directory(dir_ / "run");
    ASSERT_EQ(::chdir((dir_ / "run").c_str()), 0);
    fs::remove(dir_ / "run");
    std::string message;
    try {
        app::ReplaceFile("iphist.dat", "10.0.0.1\r\n");
    } catch (const base::Error& error) {
        message = error.what();
    }
    fs::current_path(here);
    EXPECT_EQ(message, "Cannot create file \"" + (dir_ / "run").string() +
                           " (deleted)/iphist.dat\". No such file or directory");
}

// Two programs ending together in one folder: neither fails, and the file is one of theirs.
TEST_F(HistoryFileTest, TwoWritersAtOnceBothSucceed) {
    const std::string a = "10.0.0.1\r\n", b = "10.0.0.2\r\n10.0.0.3\r\n";
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = ::fork();
        if (children[i] == 0) {
            for (int round = 0; round < 300; ++round) {
                try {
                    app::ReplaceFile(file_.string(), i == 0 ? a : b);
                } catch (const base::Error&) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string bytes = Read(file_);
    EXPECT_TRUE(bytes == a || bytes == b) << bytes;
    EXPECT_EQ(Entries(), 1u);
}

}  // namespace
