#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "base/local_date_time.h"

// Backup files: one per device, written whole where a planted link cannot redirect them.
namespace device {

using base::Iso8601;

// A file name from a device's MAC text: letters, digits, '-', '_' and '.' kept, every other
// byte '_', no leading '.', at most 64 bytes. Empty when nothing usable is left.
std::string SafeFileName(std::string_view mac);

// Writes `name` in the folder `dir` whole: a new temporary beside it (never an existing
// file), written and synced, then renamed over the name, which replaces a link there instead
// of following it. Throws base::Error naming the path.
void WriteFileWhole(const std::string& dir, const std::string& name, std::string_view bytes);

}  // namespace device
