#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "capture/packet.h"

// A pcapng file of the program's own traffic, for Wireshark and tshark.
namespace capture {

using packet::Endpoint;
using Clock = std::chrono::system_clock;

struct Options {
    std::string path;
    std::uint64_t limit = std::uint64_t{100} << 20;  // bytes in the file at most
    bool overwrite = false;   // an existing regular file is emptied; a link is still refused
    std::string program;      // "orvan": the start of each line on stderr
    std::string application;  // "orvan 1.9.1", in the file's header
    // Where the writer thread's bytes go: write(2) when empty. Tests hold the writer here.
    std::function<ssize_t(int fd, const char* bytes, std::size_t size)> write;
};

// Takes records from any thread and writes them from a thread of its own, so that a slow disk
// never holds up the caller: what waits is written at least every quarter of a second, and at
// once past a megabyte. Capturing stops for good at the limit (the last packet keeps only its
// headers and says why) or at a write failure (one line on stderr, the file cut back to its
// last whole block); the program goes on. A kill leaves whole blocks too.
class Recorder {
public:
    // Creates the file and writes its header. Throws base::Error: a file that exists (without
    // overwrite), a link, anything but a regular file, or a file that cannot be made.
    explicit Recorder(const Options& options);
    ~Recorder();  // writes what waits
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // One datagram; `length` larger than the bytes given when only its start was kept.
    void Udp(bool sent, Endpoint local, Endpoint peer, std::string_view bytes,
             Clock::time_point when, std::string_view comment = {}, std::size_t length = 0);
    void Tcp(bool sent, Endpoint local, Endpoint peer, const packet::TcpSegment& segment,
             Clock::time_point when, std::string_view comment = {});

    // Writes what waits now and returns when it is in the file (or capturing has stopped).
    void Flush();
    bool Stopped() const { return stopped_.load(std::memory_order_relaxed); }

    // Records that did not fit while the writer was behind; said in the next packet's comment.
    static constexpr std::size_t kMaxWaiting = std::size_t{32} << 20;

private:
    void Add(bool sent, std::string_view packet, std::size_t original, Clock::time_point when,
             std::string_view comment);
    std::size_t Gap(std::size_t length) const;
    void Write();
    bool WriteBlocks(std::string_view batch);

    const Options options_;
    int fd_ = -1;
    std::atomic<bool> stopped_{false};

    std::mutex mutex_;
    std::condition_variable wake_, written_;
    std::string waiting_;     // blocks not yet handed to the writer
    std::string scratch_;     // the packet being built
    std::uint64_t size_ = 0;  // bytes in the file once everything waiting is written
    std::uint64_t dropped_ = 0;
    std::uint64_t handed_ = 0, done_ = 0;  // handovers to the writer, and those written
    bool closing_ = false;
    bool flush_ = false;
    bool finished_ = false;   // the writer has returned
    std::uint64_t file_ = 0;  // bytes in the file, whole blocks; the writer's own
    std::thread writer_;
};

// One TCP connection as packets: the handshake when it is made, each payload in order with
// consistent sequence numbers, and its end. Used on one thread, its owner's.
class TcpStream {
public:
    // Records the three-way handshake.
    TcpStream(Recorder& recorder, Endpoint local, Endpoint peer,
              Clock::time_point when = Clock::now());
    void Data(bool sent, std::string_view bytes, Clock::time_point when = Clock::now());
    // A comment for the next packet of this connection (something refused or trimmed).
    void Note(std::string comment) { note_ = std::move(comment); }
    // The side that ends it sends FIN first; the other answers with its own.
    void Close(bool by_peer, Clock::time_point when = Clock::now());
    void Reset(bool by_peer, Clock::time_point when = Clock::now());

private:
    void Segment(bool sent, std::uint8_t flags, std::string_view payload, Clock::time_point when);

    Recorder& recorder_;
    Endpoint local_, peer_;
    std::uint32_t local_next_, peer_next_;  // the next sequence number of each side
    std::string note_;
};

}  // namespace capture
