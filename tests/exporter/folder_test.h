#pragma once
// The exporter tests' table rows, named by their labels, and a folder of each case's own for
// the desired files, with the files the case plants.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace exporter_test {

template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}
inline const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

using Files = std::vector<std::pair<std::string, std::string>>;  // name, content

template <class Case>
class FolderTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        char name[] = "/tmp/orvan-desired-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Each name is a path below the folder; the folders on the way are made.
    void Plant(const Files& files) const {
        for (const auto& [name, content] : files) {
            std::filesystem::create_directories(
                std::filesystem::path(dir_ + "/" + name).parent_path());
            std::ofstream(dir_ + "/" + name) << content;
        }
    }

    std::string dir_;
};

}  // namespace exporter_test
