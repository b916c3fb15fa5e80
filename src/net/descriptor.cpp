#include "net/descriptor.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <utility>

namespace net {

Descriptor::Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Descriptor::Close() noexcept {
    // Not retried on EINTR: Linux has released the number by then, and another thread may
    // already hold it again.
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

bool LeavesReserve(int fd) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return static_cast<rlim_t>(fd) + kReservedDescriptors < limit.rlim_cur;
}

bool DescriptorToSpare() {
    // The cheapest descriptor there is; its number is the one the next socket would get.
    const Descriptor probe(eventfd(0, EFD_CLOEXEC));
    return probe.Valid() && LeavesReserve(probe.Get());
}

}  // namespace net
