#include "device/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"

namespace device {

std::string SafeFileName(std::string_view mac) {
    std::string name;
    bool usable = false;
    for (unsigned char c : mac.substr(0, 64)) {
        const bool keep = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                          (c >= 'a' && c <= 'z') || c == '-' || c == '_' || c == '.';
        name += keep ? char(c) : '_';
        usable = usable || (keep && c != '.' && c != '_');
    }
    if (!usable) return {};
    if (name.front() == '.') name.front() = '_';
    return name;
}

int FileCalls::Sync(int fd) {
    return ::fsync(fd);
}

int FileCalls::Rename(const std::string& from, const std::string& to, bool replace) {
    if (replace) return ::rename(from.c_str(), to.c_str());
    const int renamed = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (renamed == 0 || errno != EINVAL) return renamed;
    // A file system without the flag: the name is looked at first.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

FileCalls& FileCalls::Real() {
    static FileCalls calls;
    return calls;
}

bool WriteFileWhole(const std::string& dir, const std::string& name, std::string_view bytes,
                    bool replace, FileCalls& calls) {
    const std::string path = dir + "/" + name;
    std::string temp = dir + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) throw base::Error("cannot create a file in " + dir + ": " + std::strerror(errno));
    const auto fail = [&](const char* what) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw base::Error(std::string("cannot ") + what + " " + path + ": " + std::strerror(err));
    };
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write");
        done += std::size_t(n);
    }
    if (::fchmod(fd, 0640) != 0 || calls.Sync(fd) != 0) fail("write");
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw base::Error("cannot write " + path + ": " + std::strerror(err));
    }
    errno = 0;
    if (calls.Rename(temp, path, replace) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        if (!replace && err == EEXIST) return false;
        throw base::Error("cannot write " + path + ": " + std::strerror(err));
    }
    // The new name lasts only once the folder itself is on the disk.
    if (const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
        calls.Sync(folder);
        ::close(folder);
    }
    return true;
}

BackupFolder::Held BackupFolder::Holder(
    const std::string& name, const std::function<bool(std::string_view)>& sameDevice) const {
    if (written_.contains(name)) return Held::kOther;
    const std::string path = dir_ + "/" + name;
    // O_NONBLOCK: a FIFO there is looked at, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Held::kFree;
        return errno == ELOOP ? Held::kSame : Held::kOther;  // a link is replaced, not followed
    }
    constexpr std::size_t kMostBackupBytes = 1 << 20;
    struct stat st {};
    Held held = Held::kOther;
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        held = S_ISDIR(st.st_mode) ? Held::kOther : Held::kSame;
    } else {
        std::string bytes(kMostBackupBytes + 1, '\0');  // one more: a larger file is not ours
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += std::size_t(n);
        }
        bytes.resize(got);
        if (got <= kMostBackupBytes && sameDevice(bytes)) held = Held::kSame;
    }
    ::close(fd);
    return held;
}

std::string BackupFolder::Write(const std::string& stem, std::string_view bytes,
                                const std::function<bool(std::string_view)>& sameDevice) {
    constexpr int kMostNames = 99;
    for (int n = 1; n <= kMostNames; ++n) {
        const std::string name = stem + (n == 1 ? "" : "~" + std::to_string(n)) + ".json";
        const Held held = Holder(name, sameDevice);
        if (held == Held::kOther) continue;
        // A name that appears meanwhile is someone else's: the next one is tried.
        if (!WriteFileWhole(dir_, name, bytes, held == Held::kSame, calls_)) continue;
        written_.insert(name);
        return name;
    }
    throw base::Error("no name left for " + stem + ".json in " + dir_ + ": " + stem + ".json to " +
                      stem + "~" + std::to_string(kMostNames) +
                      ".json hold other devices; nothing written");
}

}  // namespace device
