#pragma once

// The host seam for the benchmarks' windows: boxes go to stderr and are counted, nothing
// waits or rings, and no history file is written.
#include <cstdio>
#include <optional>
#include <string>

#include "app/env.h"
#include "net/async_lookup.h"

class BenchEnv : public app::Env {
public:
    int boxes = 0;
    void ShowMessage(app::BoxKind, const std::string&, const std::string& text) override {
        ++boxes;
        std::fprintf(stderr, "box: %s\n", text.c_str());
    }
    void Beep() override {}
    void Pause(int) override {}
    base::LocalDateTime LocalTime() override { return {}; }
    std::string LocalHostName() override { return "bench"; }
    std::optional<std::string> HistoryFilePath(const std::string&) override {
        return std::nullopt;  // the run writes no history file
    }
    net::AsyncLookup& Lookup() override { return lookup_; }

private:
    net::AsyncLookup lookup_;
};
