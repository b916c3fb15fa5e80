#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Appends `address` to `history` (oldest first) unless it is empty, "127.0.0.1" or the same
// as the newest entry; drops the oldest entries beyond `limit`.
void AddToHistory(std::vector<std::string>& history, const std::string& address, std::size_t limit);

// The history file's content: every address followed by CR LF, nothing else.
std::string HistoryFileBytes(const std::vector<std::string>& history);

// Puts `bytes` at `path` through a new temporary file of its own beside it, so that a failure
// leaves any earlier file as it was; a symlink at `path` is written through to the regular file
// it leads to, keeping that file's owner and mode. Where no new file can be made beside it, the
// file is written in place. Nothing but a regular file is ever opened for writing, and no open
// waits. Throws base::Error "Cannot create file "<full path>". <reason>" naming what failed.
void ReplaceFile(const std::string& path, std::string_view bytes);

}  // namespace app
