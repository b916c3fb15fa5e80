#pragma once

namespace net {

// Owns one socket descriptor and closes it exactly once: on Close, on destruction, or when
// another descriptor is moved in. Moving hands the descriptor over; copying is not possible.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    ~Descriptor() { Close(); }

    Descriptor(Descriptor&& other) noexcept;
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    void Close() noexcept;
    // Gives the descriptor up without closing it.
    int Release() noexcept;

private:
    int fd_ = -1;
};

}  // namespace net
