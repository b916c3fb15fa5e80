#include "device/audit_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "device/port.h"

namespace device {

AuditLog::AuditLog(const std::string& path, std::chrono::milliseconds lockWait)
    : path_(path), lockWait_(lockWait) {
    // O_NONBLOCK: a FIFO planted at the path must not hang the run before it is refused.
    fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                 0640);
    if (fd_ < 0) throw base::Error("--log: cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw base::Error("--log: " + path + " is not a regular file");
    }
}

AuditLog::~AuditLog() {
    ::close(fd_);
}

void AuditLog::Lock() {
    // Anyone who may read the file may lock it (flock -s FILE sleep 1000): the wait is bounded,
    // and a stop ends it.
    const auto until = Clock::now() + lockWait_;
    for (int pause = 1;; pause = std::min(pause * 2, 20)) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
        if (errno != EWOULDBLOCK && errno != EINTR)
            throw base::Error("--log: cannot lock " + path_ + ": " + std::strerror(errno));
        if (StopRequested()) {
            throw Interrupted("interrupted while " + LockHolder(fd_) + " held the lock on " +
                              path_);
        }
        if (Clock::now() >= until) {
            throw base::Error("--log: " + path_ + " is locked by " + LockHolder(fd_) +
                              " for longer than --port-wait " + FormatSeconds(lockWait_));
        }
        ::poll(nullptr, 0, pause);  // short at first: another run's line takes a moment
    }
}

void AuditLog::WaitForTurn() {
    Lock();
    ::flock(fd_, LOCK_UN);
}

void AuditLog::Append(std::string_view line) {
    // A line cut short earlier (a full disk, a run killed) is ended first, so that this line
    // starts a line of its own. Runs at once take turns on the file for that: another run's
    // line half copied in would look cut short.
    Lock();
    struct Unlock {
        int fd;
        ~Unlock() { ::flock(fd, LOCK_UN); }
    } unlock{fd_};
    std::string whole;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 && ::pread(fd_, &last, 1, st.st_size - 1) == 1 &&
        last != '\n') {
        whole += '\n';
    }
    whole += line;
    whole += '\n';
    const ssize_t n = ::write(fd_, whole.data(), whole.size());
    if (n != ssize_t(whole.size())) {
        throw base::Error("--log: cannot write " + path_ + ": " +
                          (n < 0 ? std::strerror(errno) : "written in part"));
    }
}

}  // namespace device
