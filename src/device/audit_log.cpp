#include "device/audit_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"

namespace device {

AuditLog::AuditLog(const std::string& path) : path_(path) {
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

void AuditLog::Append(std::string_view line) {
    // A line cut short earlier (a full disk, a run killed) is ended first, so that this line
    // starts a line of its own. Runs at once take turns on the file for that: another run's
    // line half copied in would look cut short.
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            throw base::Error("--log: cannot lock " + path_ + ": " + std::strerror(errno));
        }
    }
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
