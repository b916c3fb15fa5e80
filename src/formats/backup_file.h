#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "device/address.h"
#include "device/settings.h"

// Reading what `backup` wrote: for restore, and for the exporter's desired state.
namespace formats {

// Every *.json in a folder (sorted), or the file itself. Throws base::Error for a folder
// without one.
std::vector<std::string> BackupFilesOf(const std::string& path);

// A regular file's bytes, at most kMostPlanBytes. Opened without waiting: a FIFO or a device
// is refused, never read. Throws base::Error naming the path.
std::string ReadRegular(const std::string& path);

struct BackupContents {
    device::Ipv4 address = 0;
    std::string mac;            // code page 1251, as the device reported it
    device::Settings settings;  // the other six, checked as a plan's
};

// A backup of a reply that parsed only in part: no state to restore or to hold a device to.
// Told by the file's contents, whatever its name.
class PartialBackup : public base::Error {
public:
    using base::Error::Error;
};

// A backup file's object; a partial backup (PartialBackup) or anything that is not a backup
// (base::Error) is refused. Throws starting with `path`.
BackupContents ParseBackup(std::string_view text, const std::string& path, std::uint16_t port);

}  // namespace formats
