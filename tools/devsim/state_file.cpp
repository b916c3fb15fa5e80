#include "devsim/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace devsim {

bool WriteState(const std::string& path, const Device& d, std::string& why) {
    const Settings& s = d.settings;
    std::ostringstream text;
    text << "telemetry=" << s.telemetry << "\nh323=" << s.h323 << "\ngateway=" << Dotted(s.gateway)
         << "\nip=" << Dotted(s.ip) << "\nhandset=" << Dotted(s.handset)
         << "\nmask=" << Dotted(s.mask) << "\nmac=" << s.mac << "\nclock=" << d.clock
         << "\ntime_commands=" << d.time_commands << "\nconfig_commands=" << d.config_commands
         << "\ndatagrams=" << d.datagrams << "\nrequests=" << d.requests
         << "\ncommands=" << d.commands << "\n";
    const std::string bytes = text.str();
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        why = "cannot create a temporary beside " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    const int err = done == bytes.size() ? 0 : errno;
    if (close(fd) != 0 || err != 0 || fchmodat(AT_FDCWD, temp.c_str(), 0644, 0) != 0) {
        why = "cannot write " + temp + ": " + std::strerror(err != 0 ? err : errno);
        unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        why = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace devsim
