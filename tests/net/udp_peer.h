#pragma once

// Test helpers for the net classes: a Qt event loop to spin. The far end of a datagram is
// support/loopback_peer.h.

#include <chrono>
#include <functional>
#include <string>

namespace nettest {

using namespace std::chrono_literals;

// Creates the QCoreApplication once; the listener's socket notifiers need its event loop.
void EnsureApp();

// Runs the event loop until `done` holds or `limit` passes; returns done().
bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);

// Handles whatever events are pending now, without waiting for more.
void ProcessPending();

// `size` bytes of a pattern that shows a shifted or cut copy.
inline std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace nettest
