#include "net/descriptor.h"

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

int Descriptor::Release() noexcept {
    return std::exchange(fd_, -1);
}

}  // namespace net
