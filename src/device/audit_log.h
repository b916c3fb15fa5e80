#pragma once

#include <string>
#include <string_view>

// The record of what was sent: a file only ever appended to, one line per write.
namespace device {

class AuditLog {
public:
    // Opens (creating) `path` for appending only: never truncated, never through a link,
    // never anything but a regular file. Throws base::Error naming the path.
    explicit AuditLog(const std::string& path);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // `line` and a line break in one write, so that lines of runs at once never interleave;
    // a line break before it when the file does not end in one. Throws base::Error naming the
    // file and the reason when the write fails or is cut short.
    void Append(std::string_view line);

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace device
