#pragma once

// Reads capture files with tshark, as an engineer would, and hands back its lines.
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace testing_support {

// Runs `tshark -r file <arguments>` and returns the lines it printed. Its warnings (running
// as root) go to stderr, which is dropped; `status` gets its exit status.
inline std::vector<std::string> Tshark(const std::string& file, const std::string& arguments,
                                       int* status = nullptr) {
    const std::string command = "tshark -n -r '" + file + "' " + arguments + " 2>/dev/null";
    std::vector<std::string> lines;
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) return lines;
    std::string line;
    for (int c; (c = std::fgetc(out)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) lines.push_back(line);
    const int s = ::pclose(out);
    if (status != nullptr) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return lines;
}

inline std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

inline std::vector<std::string> Split(const std::string& line, char sep = '\t') {
    std::vector<std::string> parts;
    std::string part;
    for (char c : line) {
        if (c == sep) {
            parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    parts.push_back(part);
    return parts;
}

}  // namespace testing_support
