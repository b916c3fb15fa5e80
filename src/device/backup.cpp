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

void WriteFileWhole(const std::string& dir, const std::string& name, std::string_view bytes) {
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
    if (::fchmod(fd, 0640) != 0 || ::fsync(fd) != 0) fail("write");
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw base::Error("cannot write " + path + ": " + std::strerror(err));
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw base::Error("cannot write " + path + ": " + std::strerror(err));
    }
}

}  // namespace device
