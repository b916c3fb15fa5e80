#pragma once

#include <string>

#include "devsim/device.h"

namespace devsim {

// Writes the device's settings, clock and counts as key=value lines. Written to a new temporary
// file of its own and renamed, so that a reader never sees half a state and a name planted
// beside the state file (a link, a FIFO) is never opened. On failure `why` says what failed.
bool WriteState(const std::string& path, const Device& d, std::string& why);

}  // namespace devsim
