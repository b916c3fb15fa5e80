#pragma once

// Reads capture files with tshark and capinfos, as an engineer would, and hands back their lines.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture/recorder.h"

namespace testing_support {

// Runs a shell command and returns the lines it printed; `status` gets its exit status.
inline std::vector<std::string> Lines(const std::string& command, int* status = nullptr) {
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

// `tshark -r file <arguments>`; its warnings (running as root) are dropped.
inline std::vector<std::string> Tshark(const std::string& file, const std::string& arguments,
                                       int* status = nullptr) {
    return Lines("tshark -n -r '" + file + "' " + arguments + " 2>/dev/null", status);
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

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A folder of its own, removed with everything in it, and the recorder options for
// "traffic.pcapng" in it.
struct CaptureDir {
    CaptureDir() {
        char name[] = "/tmp/capture_test.XXXXXX";
        if (::mkdtemp(name) != nullptr) dir = name;
        options.path = dir + "/traffic.pcapng";
        options.program = "orvan_test";
        options.application = "orvan_test 1";
    }
    ~CaptureDir() { std::system(("rm -rf '" + dir + "'").c_str()); }
    CaptureDir(const CaptureDir&) = delete;
    CaptureDir& operator=(const CaptureDir&) = delete;

    std::string dir;
    capture::Options options;
};

}  // namespace testing_support
