#include "exporter/text_format.h"

#include <charconv>
#include <cmath>

#include "formats/text.h"

namespace exporter {

std::string EscapeLabel(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string DeviceLabel(std::string_view cp1251) {
    // A backslash of the device's own is doubled first, so that its four characters "\x0A"
    // never read as the line feed shown that way.
    std::string doubled;
    doubled.reserve(cp1251.size());
    for (char c : cp1251) {
        if (c == '\\') doubled += '\\';
        doubled += c;
    }
    return formats::Printable(doubled);
}

std::string FormatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

namespace {

std::string EscapeHelp(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string Render(const std::vector<Family>& families) {
    std::string out;
    for (const Family& f : families) {
        if (f.samples.empty()) continue;
        out += "# HELP " + f.name + ' ' + EscapeHelp(f.help) + '\n';
        out += "# TYPE " + f.name + ' ' + f.type + '\n';
        for (const Sample& s : f.samples) {
            out += f.name;
            if (!s.labels.empty()) {
                out += '{';
                for (std::size_t i = 0; i < s.labels.size(); ++i) {
                    if (i > 0) out += ',';
                    out += s.labels[i].first + "=\"" + EscapeLabel(s.labels[i].second) + '"';
                }
                out += '}';
            }
            out += ' ' + FormatValue(s.value) + '\n';
        }
    }
    return out;
}

}  // namespace exporter
