#include "net/descriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ostream>
#include <utility>

namespace {

using net::Descriptor;

bool IsOpen(int fd) {
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

int NewSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// Each way an owner can end; in every case both descriptors are closed once nobody owns them.
struct Ending {
    const char* label;
    void (*act)(Descriptor& owner, Descriptor& other);
    bool open_after;      // the owner's descriptor, right after the act
    bool other_takes_it;  // and the other's own descriptor is closed by taking it
    friend void PrintTo(const Ending& row, std::ostream* os) { *os << row.label; }
};

class DescriptorEndingTest : public ::testing::TestWithParam<Ending> {};

TEST_P(DescriptorEndingTest, ClosesWhatItOwnsWhenItEnds) {
    const Ending& e = GetParam();
    const int fd = NewSocket();
    const int other_fd = NewSocket();
    ASSERT_TRUE(IsOpen(fd) && IsOpen(other_fd));
    {
        Descriptor owner(fd);
        Descriptor other(other_fd);
        e.act(owner, other);
        EXPECT_EQ(IsOpen(fd), e.open_after);
        EXPECT_EQ(owner.Valid(), e.open_after && !e.other_takes_it);
        EXPECT_EQ(other.Get() == fd, e.other_takes_it);
        EXPECT_EQ(IsOpen(other_fd), !e.other_takes_it);
    }
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_FALSE(IsOpen(other_fd));
}

const Ending kEndings[] = {
    {"close", [](Descriptor& d, Descriptor&) { d.Close(); }, false, false},
    {"scope_end", [](Descriptor&, Descriptor&) {}, true, false},
    {"move_construct", [](Descriptor& d, Descriptor& o) { o = Descriptor(std::move(d)); }, true,
     true},
    {"move_assign_replaces", [](Descriptor& d, Descriptor& o) { o = std::move(d); }, true, true},
    {"self_move", [](Descriptor& d, Descriptor&) { d = std::move(d); }, true, false},
};

INSTANTIATE_TEST_SUITE_P(Table, DescriptorEndingTest, ::testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.label); });

// The number of a closed descriptor is handed out again at once; a second close must not hit
// whoever holds it now.
TEST(Descriptor, ClosesOnlyOnce) {
    Descriptor d(NewSocket());
    const int number = d.Get();
    d.Close();
    const int reused = NewSocket();
    ASSERT_EQ(reused, number);
    d.Close();
    Descriptor moved(std::move(d));
    moved.Close();
    EXPECT_TRUE(IsOpen(reused));
    close(reused);
}

}  // namespace
