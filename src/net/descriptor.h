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

private:
    int fd_ = -1;
};

// Descriptors kept for what the window itself needs when sockets have taken the rest: the
// display connection, a message box, the history file.
inline constexpr int kReservedDescriptors = 16;

// Whether a descriptor numbered `fd` leaves the reserve untouched (the lowest free number is
// always handed out, so the number tells how many are in use).
bool LeavesReserve(int fd);

// Whether one more descriptor can be had without taking from the reserve.
bool DescriptorToSpare();

}  // namespace net
