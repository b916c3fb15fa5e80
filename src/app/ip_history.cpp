#include "app/ip_history.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "app/ip_watch.h"
#include "app/text.h"
#include "base/error.h"

namespace app {
namespace {

// No errno says "not a regular file"; the reason is ours.
constexpr int kNotRegular = -1;

[[noreturn]] void Fail(const std::string& path, int error) {
    std::string shown = path;
    if (!path.starts_with('/')) {
        // The working folder may be gone; the kernel still names it, "(deleted)" included.
        char here[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/cwd", here, sizeof here - 1);
        if (n > 0) shown = std::string(here, static_cast<std::size_t>(n)) + "/" + path;
    }
    const std::string reason = error == kNotRegular ? std::string("Not a regular file")
                                                    : std::generic_category().message(error);
    // The path is the file system's UTF-8, the reason follows the locale's UTF-8.
    throw base::Error("Cannot create file \"" + Cp1251(shown) + "\". " + Cp1251(reason));
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Where the bytes go: the path itself, or, when it is a symlink the operator made, the
// regular file it leads to.
std::string Destination(const std::string& path, std::optional<struct stat>& existing) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) Fail(path, errno);
        return path;
    }
    if (S_ISDIR(st.st_mode)) Fail(path, EISDIR);
    if (!S_ISLNK(st.st_mode)) {
        // Anything else that is not a regular file is replaced by rename, never opened.
        if (S_ISREG(st.st_mode)) existing = st;
        return path;
    }
    char target[PATH_MAX];
    if (::realpath(path.c_str(), target) == nullptr) Fail(path, errno);
    if (::stat(target, &st) != 0) Fail(path, errno);
    if (S_ISDIR(st.st_mode)) Fail(path, EISDIR);
    if (!S_ISREG(st.st_mode)) Fail(path, kNotRegular);
    existing = st;
    return target;
}

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Returns 0 or the errno of the first failure.
int WriteAll(int fd, std::string_view bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

int CloseChecked(int fd, int error) {
    const int closed = ::close(fd) == 0 ? 0 : errno;
    return error != 0 ? error : closed;
}

// Truncates and writes the destination itself: for a folder that takes no new files.
void WriteInPlace(const std::string& destination, std::string_view bytes, bool exists) {
    // O_NONBLOCK: a FIFO planted meanwhile fails or is refused below instead of blocking.
    const int flags =
        O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL);
    const int fd = ::open(destination.c_str(), flags, 0666);
    if (fd < 0) Fail(destination, errno);
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : kNotRegular);
    if (error == 0 && ::ftruncate(fd, 0) != 0) error = errno;
    if (error == 0) error = WriteAll(fd, bytes);
    error = CloseChecked(fd, error);
    if (error != 0) Fail(destination, error);
}

}  // namespace

void AddToHistory(std::vector<std::string>& history, const std::string& address,
                  std::size_t limit) {
    if (!IsOnlineAddress(address)) return;
    if (!history.empty() && history.back() == address) return;
    history.push_back(address);
    if (history.size() > limit) {
        history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(limit));
    }
}

std::string HistoryFileBytes(const std::vector<std::string>& history) {
    std::string bytes;
    for (const std::string& address : history) bytes += address + "\r\n";
    return bytes;
}

void ReplaceFile(const std::string& path, std::string_view bytes) {
    std::optional<struct stat> existing;
    const std::string destination = Destination(path, existing);

    // A new name of our own: nothing that already exists is ever opened, and two programs
    // writing beside each other never share a temporary.
    const std::size_t slash = destination.rfind('/');
    std::string temporary = Parent(destination) + "/." +
                            destination.substr(slash == std::string::npos ? 0 : slash + 1) +
                            ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        WriteInPlace(destination, bytes, existing.has_value());
        return;
    }
    int error = 0;
    if (existing) {
        // The file keeps its owner and mode; where its owner cannot be given to a new file,
        // the file itself is written.
        if (::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
            WriteInPlace(destination, bytes, true);
            return;
        }
        if (::fchmod(fd, existing->st_mode & 07777) != 0) error = errno;
    } else if (::fchmod(fd, NewFileMode()) != 0) {
        error = errno;
    }
    // On disk before it takes the old file's place, or a crash could leave neither.
    if (error == 0) error = WriteAll(fd, bytes);
    error = CloseChecked(fd, error);
    if (error != 0) {
        ::unlink(temporary.c_str());
        Fail(temporary, error);
    }
    if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        Fail(destination, error);
    }
}

}  // namespace app
