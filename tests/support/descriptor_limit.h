#pragma once

// A lowered descriptor limit for tests of what happens when descriptors run short.
#include <sys/resource.h>
#include <unistd.h>

namespace testing_support {

// Leaves `room` descriptors free from the lowest free number on, until Restore or the end of
// the scope.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int room) {
        getrlimit(RLIMIT_NOFILE, &old_);
        const int next = dup(0);
        close(next);
        const rlimit low{static_cast<rlim_t>(next + room), old_.rlim_max};
        setrlimit(RLIMIT_NOFILE, &low);
    }
    ~DescriptorLimit() { Restore(); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

    // Call before looking at the outcome: the sanitizers' checks need descriptors too.
    void Restore() { setrlimit(RLIMIT_NOFILE, &old_); }

private:
    rlimit old_{};
};

}  // namespace testing_support
