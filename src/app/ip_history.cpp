#include "app/ip_history.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "app/text.h"
#include "base/error.h"

namespace app {

void AddToHistory(std::vector<std::string>& history, const std::string& address,
                  std::size_t limit) {
    if (address.empty() || address == "127.0.0.1") return;
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
    const std::string temporary = path + ".tmp";
    const auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        // The path is the file system's UTF-8, the reason follows the locale's UTF-8.
        throw base::Error("Cannot create file \"" + Cp1251(path) + "\". " +
                          Cp1251(std::generic_category().message(error)));
    };
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) fail(errno);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            fail(error);
        }
        done += static_cast<std::size_t>(n);
    }
    // On disk before it takes the old file's place, or a crash could leave neither.
    const int synced = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && synced == 0) fail(errno);
    if (synced != 0) fail(synced);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
}

}  // namespace app
