#include "orvanctl/capture_option.h"

#include "base/version.h"

namespace orvanctl {

void AddCaptureOptions(CLI::App* app, CaptureOptions& c) {
    auto* file = app->add_option("--capture", c.file,
                                 "record every datagram sent and received in FILE (pcapng, "
                                 "for Wireshark); FILE must not exist")
                     ->type_name("FILE");
    app->add_option("--capture-limit", c.limitMb,
                    "stop recording when FILE reaches MB megabytes (default 100)")
        ->type_name("MB")
        ->check(CLI::Range(1, 1 << 20).description(""))
        ->needs(file);
    app->add_flag("--capture-overwrite", c.overwrite,
                  "replace FILE if it exists (never through a symbolic link)")
        ->needs(file);
}

std::unique_ptr<capture::Recorder> OpenCapture(const CaptureOptions& c) {
    if (c.file.empty()) return nullptr;
    capture::Options options;
    options.path = c.file;
    options.limit = static_cast<std::uint64_t>(c.limitMb) << 20;
    options.overwrite = c.overwrite;
    options.program = "orvanctl";
    options.application = "orvanctl " ORVAN_VERSION;
    return std::make_unique<capture::Recorder>(options);
}

device::WireTap CaptureTap(capture::Recorder& recorder) {
    return [&recorder](const device::WireEvent& e) {
        recorder.Udp(e.sent, {e.local, e.localPort}, {e.peer, e.peerPort}, e.bytes, e.when);
    };
}

}  // namespace orvanctl
