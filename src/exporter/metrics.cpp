#include "exporter/metrics.h"

#include "formats/text.h"

namespace exporter {

using device::Setting;

bool Asked(Failure f) {
    return f != Failure::kPortTaken && f != Failure::kTimeout && f != Failure::kError;
}

std::vector<Family> ProbeFamilies(const ProbeResult& r, double seconds, const Desired* desired) {
    const bool up = r.failure == Failure::kNone;
    std::vector<Family> out = {
        {"orvan_up",
         "gauge",
         "Whether the device answered the request in full.",
         {{{}, up ? 1.0 : 0.0}}},
        {"orvan_probe_duration_seconds",
         "gauge",
         "How long the probe took, waiting for the device port included.",
         {{{}, seconds}}},
        {"orvan_probe_failure_info",
         "gauge",
         "Why the probe failed: no_reply, partial_reply, port_taken, send_failed, timeout, error, "
         "invalid_value.",
         {}},
    };
    if (!up) out.back().samples.push_back({{{"reason", FailureWord(r.failure)}}, 1});
    // Absent when the device was not asked: the rules read the last answer over such gaps,
    // so a scrape blocked by another program neither clears nor restarts an alert.
    Family answered{"orvan_device_answered",
                    "gauge",
                    "Whether the device answered in full when it was asked; absent when the "
                    "probe could not ask it (port_taken, timeout, error).",
                    {}};
    if (Asked(r.failure)) answered.samples.push_back({{}, up ? 1.0 : 0.0});
    out.push_back(std::move(answered));

    const device::Settings& s = r.settings;
    bool any = false;
    for (const auto& v : s.values) any = any || v.has_value();
    if (!any) return out;
    auto text = [&](Setting k) { return DeviceLabel(s[k].value_or("")); };
    out.push_back({"orvan_device_info",
                   "gauge",
                   "The device's identity and addresses as it reports them.",
                   {{{{"mac", text(Setting::kMac)},
                      {"ip", text(Setting::kIp)},
                      {"gateway", text(Setting::kGateway)},
                      {"mask", text(Setting::kMask)},
                      {"controller", text(Setting::kController)}},
                     1}}});
    auto port = [&](const char* name, const char* help, Setting k) {
        Family f{name, "gauge", help, {}};
        if (s[k]) f.samples.push_back({{}, std::stod(*s[k])});
        out.push_back(std::move(f));
    };
    port("orvan_device_telemetry_port", "The telemetry port the device reports.",
         Setting::kTelemetryPort);
    port("orvan_device_h323_port", "The H.323 port the device reports.", Setting::kH323Port);
    if (desired == nullptr) return out;

    Family holds{"orvan_setting_as_desired",
                 "gauge",
                 "Whether the device holds the value the desired file gives this setting.",
                 {}};
    for (const SettingState& c : Compare(desired->settings, s))
        holds.samples.push_back({{{"setting", device::Name(c.setting)}}, c.asDesired ? 1.0 : 0.0});
    out.push_back(std::move(holds));
    Family unit{"orvan_mac_as_desired",
                "gauge",
                "Whether the device reports the MAC text the desired file names (0: another unit).",
                {}};
    if (const auto same = SameUnit(desired->settings, s))
        unit.samples.push_back({{}, *same ? 1.0 : 0.0});
    out.push_back(std::move(unit));
    return out;
}

std::string ProbeText(const ProbeResult& r, double seconds, const Desired* desired) {
    std::string out = Render(ProbeFamilies(r, seconds, desired));
    if (!r.message.empty()) out += "# " + formats::Printable(r.message) + '\n';
    return out;
}

void SelfMetrics::Reloaded(bool ok, double unixSeconds) {
    reloadOk_ = ok;
    if (ok) lastReadAt_ = unixSeconds;
}

std::string SelfMetrics::Text(const std::string& version, const ProberStats& stats,
                              std::size_t desiredDevices) const {
    Family probes{"orvan_exporter_probes_total",
                  "counter",
                  "Probe requests by what they came to; refused: a target not allowed, "
                  "overloaded: too many probes at once.",
                  {}};
    for (Failure f : kAllFailures)
        probes.samples.push_back({{{"result", FailureWord(f)}}, double(probes_[std::size_t(f)])});
    probes.samples.push_back({{{"result", "refused"}}, double(refusals_[0])});
    probes.samples.push_back({{{"result", "overloaded"}}, double(refusals_[1])});
    return Render({
        {"orvan_exporter_build_info",
         "gauge",
         "The exporter's version.",
         {{{{"version", version}}, 1}}},
        probes,
        {"orvan_exporter_probes_in_flight",
         "gauge",
         "Probes being served now.",
         {{{}, double(inFlight.load())}}},
        {"orvan_exporter_port_wait_seconds_total",
         "counter",
         "Time spent taking the device port: waiting for orvanctl runs to let it go, and binding.",
         {{{}, stats.portWaitSeconds}}},
        {"orvan_exporter_port_hold_seconds_total",
         "counter",
         "Time the device port was held for probes.",
         {{{}, stats.holdSeconds}}},
        {"orvan_exporter_port_holds_total",
         "counter",
         "Times the device port was taken for probes.",
         {{{}, double(stats.holds)}}},
        {"orvan_exporter_desired_devices",
         "gauge",
         "Devices the desired file names.",
         {{{}, double(desiredDevices)}}},
        {"orvan_exporter_desired_last_reload_successful",
         "gauge",
         "Whether the desired file read at the last reload; 0: the last one that read is kept.",
         {{{}, reloadOk_ ? 1.0 : 0.0}}},
        {"orvan_exporter_desired_last_reload_success_timestamp_seconds",
         "gauge",
         "When the desired file last read, in seconds since the epoch.",
         {{{}, lastReadAt_.load()}}},
    });
}

}  // namespace exporter
