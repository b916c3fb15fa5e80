#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The Prometheus text exposition format, written out: families of samples with their HELP and
// TYPE lines, label values and help texts escaped as the format requires.
namespace exporter {

// Backslash, double quote and line feed as \\, \" and \n.
std::string EscapeLabel(std::string_view utf8);

// Device text (code page 1251) as a label value before escaping: UTF-8, every control byte
// shown as \xNN of the device's byte and a backslash doubled, so that no device can end a
// line, forge a sample, or pass its own text for a control byte.
std::string DeviceLabel(std::string_view cp1251);

// The shortest text that reads back as the same double; NaN and infinities as the format
// spells them.
std::string FormatValue(double value);

struct Sample {
    std::vector<std::pair<std::string, std::string>> labels;  // name, UTF-8 value (unescaped)
    double value = 0;
};

struct Family {
    std::string name;
    std::string type;  // gauge, counter
    std::string help;
    std::vector<Sample> samples;
};

// A family without samples is left out whole.
std::string Render(const std::vector<Family>& families);

}  // namespace exporter
