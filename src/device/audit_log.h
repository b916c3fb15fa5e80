#pragma once

#include <chrono>
#include <string>
#include <string_view>

// The record of what was sent: a file only ever appended to, one line per write.
namespace device {

class AuditLog {
public:
    // Opens (creating) `path` for appending only: never truncated, never through a link,
    // never anything but a regular file. Throws base::Error naming the path. Runs at once take
    // turns on the file's lock; `lockWait` bounds the wait for one turn.
    explicit AuditLog(const std::string& path,
                      std::chrono::milliseconds lockWait = std::chrono::milliseconds(30000));
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Waits for a turn on the file and lets it go: a lock another program holds is found
    // before anything else is taken (the device port). Throws as Append does.
    void WaitForTurn();

    // `line` and a line break in one write, so that lines of runs at once never interleave;
    // a line break before it when the file does not end in one. Throws base::Error naming the
    // file and the reason when the write fails or is cut short, or naming the lock's holder
    // when no turn came within the wait; Interrupted on a stop request while waiting.
    void Append(std::string_view line);

private:
    void Lock();

    std::string path_;
    std::chrono::milliseconds lockWait_;
    int fd_ = -1;
};

}  // namespace device
