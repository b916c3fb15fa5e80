#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "capture/recorder.h"
#include "device/port.h"

// --capture on every subcommand: the datagrams of the device port, in a pcapng file.
namespace orvanctl {

struct CaptureOptions {
    std::string file;  // "" for none
    int limitMb = 100;
    bool overwrite = false;
};

void AddCaptureOptions(CLI::App* app, CaptureOptions& c);

// The file --capture names, created new; null without --capture. Throws base::Error.
std::unique_ptr<capture::Recorder> OpenCapture(const CaptureOptions& c);

// Records every datagram the port sends or receives.
device::WireTap CaptureTap(capture::Recorder& recorder);

}  // namespace orvanctl
