#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "base/local_date_time.h"

// Backup files: one per device, written whole where a planted link cannot redirect them, never
// over the file of another device.
namespace device {

using base::Iso8601;

// A file name from a device's MAC text: letters, digits, '-', '_' and '.' kept, every other
// byte '_', no leading '.', at most 64 bytes. Empty when nothing usable is left.
std::string SafeFileName(std::string_view mac);

// The calls that make a write whole and lasting, in one place so that a test can watch their
// order: a crash must never leave a renamed file whose bytes are not on the disk yet.
class FileCalls {
public:
    virtual ~FileCalls() = default;
    virtual int Sync(int fd);  // 0, or -1 with errno
    // Renames `from` to `to`; without `replace`, fails with EEXIST when `to` exists.
    virtual int Rename(const std::string& from, const std::string& to, bool replace);
    static FileCalls& Real();
};

// Writes `name` in the folder `dir` whole: a new temporary beside it (never an existing
// file), written and synced, then renamed over the name, which replaces a link there instead
// of following it, and the folder synced. Without `replace`, a name that exists meanwhile is
// left alone: returns false. Throws base::Error naming the path.
bool WriteFileWhole(const std::string& dir, const std::string& name, std::string_view bytes,
                    bool replace = true, FileCalls& calls = FileCalls::Real());

// One backup run's folder. A file is written under its stem, or, when that name holds another
// device, under "stem~2", "stem~3" and so on: a regular file is replaced only when it holds the
// same device (`sameDevice` judges its bytes) and this run has not written it already. A link
// or a FIFO holds no device and is replaced, not followed.
class BackupFolder {
public:
    explicit BackupFolder(std::string dir, FileCalls& calls = FileCalls::Real())
        : dir_(std::move(dir)), calls_(calls) {}

    // The name written ("stem.json"). Throws base::Error when the file cannot be written or
    // no name is left.
    std::string Write(const std::string& stem, std::string_view bytes,
                      const std::function<bool(std::string_view)>& sameDevice);

private:
    enum class Held { kFree, kSame, kOther };
    Held Holder(const std::string& name,
                const std::function<bool(std::string_view)>& sameDevice) const;

    std::string dir_;
    FileCalls& calls_;
    std::set<std::string> written_;
};

}  // namespace device
