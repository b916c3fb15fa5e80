#include "app/ip_history.h"

#include <gtest/gtest.h>

namespace {

using History = std::vector<std::string>;

struct AddCase {
    const char* label;
    History before;
    std::string address;
    History after;
};

class AddToHistoryTest : public ::testing::TestWithParam<AddCase> {};

// Edges the window's runs cannot reach or tell apart; the rest of the rule, the limit, the
// file's bytes and a failed write are shown through the window.
TEST_P(AddToHistoryTest, FollowsTheRule) {
    History history = GetParam().before;
    app::AddToHistory(history, GetParam().address, 3);
    EXPECT_EQ(history, GetParam().after);
}

const AddCase kAdds[] = {
    {"empty_text", {"10.0.0.1"}, "", {"10.0.0.1"}},
    {"loopback", {"10.0.0.1"}, "127.0.0.1", {"10.0.0.1"}},
    {"other_loopback_counts", {}, "127.0.0.2", {"127.0.0.2"}},
    {"repeat_of_older", {"10.0.0.1", "10.0.0.2"}, "10.0.0.1", {"10.0.0.1", "10.0.0.2", "10.0.0.1"}},
};

INSTANTIATE_TEST_SUITE_P(Table, AddToHistoryTest, ::testing::ValuesIn(kAdds),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
