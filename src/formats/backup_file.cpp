#include "formats/backup_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "formats/plan.h"
#include "formats/text.h"

namespace formats {

std::vector<std::string> BackupFilesOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.front() != '.' && name.ends_with(".json")) files.push_back(path + "/" + name);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) throw base::Error(path + ": no backup files (*.json) in it");
    return files;
}

std::string ReadRegular(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw base::Error(path + ": cannot read: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw base::Error(path + ": not a regular file");
    }
    std::string bytes;
    char chunk[65536];
    int err = 0;
    while (bytes.size() <= kMostPlanBytes) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        bytes.append(chunk, std::size_t(n));
    }
    ::close(fd);
    if (err != 0) throw base::Error(path + ": cannot read: " + std::strerror(err));
    if (bytes.size() > kMostPlanBytes) {
        throw base::Error(path + ": larger than " + std::to_string(kMostPlanBytes >> 20) + " MiB");
    }
    return bytes;
}

BackupContents ParseBackup(std::string_view text, const std::string& path, std::uint16_t port) {
    Json object = ParseJson(text, path);
    if (object.is_object() && object.contains("partial") && object["partial"] == true)
        throw PartialBackup(path + ": a partial backup (the reply parsed only in part)");
    if (!object.is_object() || !object.contains("address") || !object["address"].is_string() ||
        !object.contains("mac") || !object["mac"].is_string()) {
        throw base::Error(path + ": not a backup file (no \"address\" or \"mac\")");
    }
    BackupContents b;
    const auto address = device::ParseDotted(object["address"].get<std::string>());
    if (!address) throw base::Error(path + ": address: not a dotted IPv4 address");
    b.address = *address;
    // Only compared, never written: any text a device reported is taken as it is.
    const auto mac = Cp1251FromUtf8(object["mac"].get<std::string>());
    if (!mac) throw base::Error(path + ": mac: a character code page 1251 lacks");
    b.mac = *mac;
    object.erase("mac");
    b.settings = WantedSettings(object, port, path);
    return b;
}

}  // namespace formats
