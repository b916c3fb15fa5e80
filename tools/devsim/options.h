#pragma once

#include <cstdint>
#include <string>

#include "devsim/device.h"
#include "devsim/misbehaviour.h"
#include "devsim/text.h"

namespace devsim {

struct Options {
    Quad address{192, 168, 1, 1};
    std::uint16_t port = 4000;
    Settings settings;
    std::string state_file;
    bool millis = false;
    unsigned log_rate = 100;
    MisbehaviourOptions misbehave;
};

// Reads the command line. --help and --version print and exit 0; a bad argument is told on
// stderr with exit 2.
Options ParseArguments(int argc, char** argv);

}  // namespace devsim
