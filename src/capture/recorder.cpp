#include "capture/recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/error.h"
#include "capture/pcapng.h"

namespace capture {

namespace {

// What waits is handed to the writer at once past this, without waiting for its next round.
constexpr std::size_t kHandOver = std::size_t{1} << 20;
constexpr auto kWriteEvery = std::chrono::milliseconds(250);
// Kept free below the limit for the packet that says capturing stopped.
constexpr std::uint64_t kStopReserve = 512;
// A write cut short by a kill ends between two pages of the file, never inside one: a block
// that fits in a page is kept inside one, so that a kill leaves whole blocks.
constexpr std::size_t kPage = 4096;

std::uint64_t Micros(Clock::time_point when) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
    return us.count() > 0 ? static_cast<std::uint64_t>(us.count()) : 0;
}

std::string SectionComment(const Options& options) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char started[64] = {};
    std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%S%z", &local);
    return options.application + " on " + host + ", capture started " + started;
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw base::Error("Cannot create capture file " + path + ": " + why);
}

// A file size limit would otherwise end the program at the write that passes it.
void KeepFileSizeLimitFromKilling() {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGXFSZ, SIG_IGN);
    }
}

using WriteFn = std::function<ssize_t(int, const char*, std::size_t)>;

// `done` gets the bytes written, those of a failed attempt included.
bool WriteAll(int fd, std::string_view bytes, const WriteFn& write = {},
              std::size_t* done = nullptr) {
    const std::size_t all = bytes.size();
    bool ok = true;
    while (!bytes.empty()) {
        const ssize_t n =
            write ? write(fd, bytes.data(), bytes.size()) : ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (done != nullptr) *done = all - bytes.size();
    return ok;
}

}  // namespace

Recorder::Recorder(const Options& options) : options_(options) {
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (!options.overwrite) flags |= O_EXCL;
    fd_ = ::open(options.path.c_str(), flags, 0644);
    if (fd_ < 0) {
        const int err = errno;
        if (err == EEXIST) Refuse(options.path, "it exists (--capture-overwrite replaces it)");
        if (err == ELOOP) Refuse(options.path, "it is a symbolic link");
        Refuse(options.path, std::strerror(err));
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        Refuse(options.path, "it is not a regular file");
    }
    KeepFileSizeLimitFromKilling();
    std::string header;
    utsname host{};
    std::string os, hardware;
    if (uname(&host) == 0) {
        os = std::string(host.sysname) + " " + host.release;
        hardware = host.machine;
    }
    const std::string comment = SectionComment(options);
    pcapng::AppendSectionHeader(header, {hardware, os, options.application, comment});
    pcapng::AppendInterface(header, options.program);
    if ((options.overwrite && ftruncate(fd_, 0) != 0) || !WriteAll(fd_, header)) {
        const int err = errno;
        ::close(fd_);
        Refuse(options.path, std::strerror(err));
    }
    size_ = file_ = header.size();
    writer_ = std::thread([this] { Write(); });
}

Recorder::~Recorder() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    writer_.join();
    ::close(fd_);
}

void Recorder::Udp(bool sent, Endpoint local, Endpoint peer, std::string_view bytes,
                   Clock::time_point when, std::string_view comment, std::size_t length) {
    if (Stopped()) return;
    if (length < bytes.size()) length = bytes.size();
    std::lock_guard lock(mutex_);
    scratch_.clear();
    packet::AppendUdp(scratch_, sent ? local : peer, sent ? peer : local, bytes, length);
    Add(sent, scratch_, length - bytes.size() + scratch_.size(), when, comment);
}

void Recorder::Tcp(bool sent, Endpoint local, Endpoint peer, const packet::TcpSegment& segment,
                   Clock::time_point when, std::string_view comment) {
    if (Stopped()) return;
    std::lock_guard lock(mutex_);
    scratch_.clear();
    packet::AppendTcp(scratch_, sent ? local : peer, sent ? peer : local, segment);
    Add(sent, scratch_, scratch_.size(), when, comment);
}

// Under the lock.
void Recorder::Add(bool sent, std::string_view packet, std::size_t original, Clock::time_point when,
                   std::string_view comment) {
    if (Stopped()) return;
    std::string note;
    if (dropped_ > 0) {
        note = std::to_string(dropped_) +
               " packet(s) before this one not recorded: the disk was slower than the traffic";
        if (!comment.empty()) note = std::string(comment) + "; " + note;
        comment = note;
    }
    pcapng::Packet block{Micros(when), packet, static_cast<std::uint32_t>(original),
                         sent ? pcapng::kOutbound : pcapng::kInbound, comment};
    const std::size_t length = pcapng::PacketBlockLength(packet.size(), comment.size(), true);
    const std::size_t gap = Gap(length);
    if (size_ + gap + length + kStopReserve > options_.limit) {
        // The headers alone, with the reason: readers see where and why the record ends.
        const std::string reason = "capture stopped: the file reached its limit of " +
                                   std::to_string(options_.limit >> 20) +
                                   " MB; nothing after this packet is recorded";
        block.data = packet.substr(
            0, packet::kIpHeader + (packet.size() > 28 && packet[9] == 6 ? packet::kTcpHeader
                                                                         : packet::kUdpHeader));
        block.comment = reason;
        const std::size_t last = pcapng::PacketBlockLength(block.data.size(), reason.size(), true);
        const std::size_t lastGap = Gap(last);  // left out where it would pass the limit
        if (lastGap > 0 && size_ + lastGap + last <= options_.limit) {
            pcapng::AppendFiller(waiting_, lastGap);
        }
        pcapng::AppendPacket(waiting_, block);
        stopped_.store(true, std::memory_order_relaxed);
        std::fprintf(stderr, "%s: capture stopped: %s reached the limit of %llu MB\n",
                     options_.program.c_str(), options_.path.c_str(),
                     static_cast<unsigned long long>(options_.limit >> 20));
        wake_.notify_one();
        return;
    }
    if (waiting_.size() + gap + length > kMaxWaiting) {
        ++dropped_;
        return;
    }
    dropped_ = 0;
    const std::size_t before = waiting_.size();
    if (gap > 0) pcapng::AppendFiller(waiting_, gap);
    pcapng::AppendPacket(waiting_, block);
    size_ += gap + length;
    if (waiting_.size() >= kHandOver && before < kHandOver) wake_.notify_one();
}

// Under the lock. The filler that keeps a block that fits in a page of the file inside one;
// readers skip it.
std::size_t Recorder::Gap(std::size_t length) const {
    const std::size_t room = kPage - size_ % kPage;
    if (length <= room || length > kPage) return 0;
    return room >= pcapng::kSmallestBlock ? room : room + kPage;
}

void Recorder::Flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = handed_ + 1;
    flush_ = true;
    wake_.notify_one();
    written_.wait(lock, [&] { return done_ >= target || finished_; });
}

void Recorder::Write() {
    std::string batch;
    bool failed = false;
    for (;;) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, kWriteEvery, [&] {
            return closing_ || flush_ || waiting_.size() >= kHandOver ||
                   (Stopped() && !waiting_.empty());
        });
        batch.clear();
        batch.swap(waiting_);
        const std::uint64_t ticket = ++handed_;
        flush_ = false;
        const bool last = closing_;
        lock.unlock();

        if (!failed && !batch.empty() && !WriteBlocks(batch)) {
            failed = true;
            stopped_.store(true, std::memory_order_relaxed);
            std::fprintf(stderr, "%s: capture stopped: cannot write %s: %s\n",
                         options_.program.c_str(), options_.path.c_str(), std::strerror(errno));
        }
        lock.lock();
        done_ = ticket;
        if (last) finished_ = true;
        written_.notify_all();
        if (last) return;
    }
}

// A failure cuts the file back to its last whole block.
bool Recorder::WriteBlocks(std::string_view batch) {
    std::size_t done = 0;
    if (WriteAll(fd_, batch, options_.write, &done)) {
        file_ += batch.size();
        return true;
    }
    const int err = errno;
    std::size_t whole = 0;
    while (whole + pcapng::BlockLengthAt(batch, whole) <= done) {
        whole += pcapng::BlockLengthAt(batch, whole);
    }
    if (ftruncate(fd_, static_cast<off_t>(file_ + whole)) != 0) {
        // The torn block stays: nothing more can be done about it here.
    }
    errno = err;
    return false;
}

TcpStream::TcpStream(Recorder& recorder, Endpoint local, Endpoint peer, Clock::time_point when)
    : recorder_(recorder),
      local_(local),
      peer_(peer),
      local_next_(0x10000000u),
      peer_next_(0x50000000u) {
    using namespace packet::tcp;
    recorder_.Tcp(true, local_, peer_, {local_next_++, 0, kSyn, {}}, when);
    recorder_.Tcp(false, local_, peer_, {peer_next_++, local_next_, kSyn | kAck, {}}, when);
    recorder_.Tcp(true, local_, peer_, {local_next_, peer_next_, kAck, {}}, when);
}

void TcpStream::Segment(bool sent, std::uint8_t flags, std::string_view payload,
                        Clock::time_point when) {
    std::uint32_t& own = sent ? local_next_ : peer_next_;
    const std::uint32_t other = sent ? peer_next_ : local_next_;
    recorder_.Tcp(sent, local_, peer_, {own, other, flags, payload}, when, note_);
    note_.clear();
    own += static_cast<std::uint32_t>(payload.size());
    if ((flags & (packet::tcp::kFin | packet::tcp::kSyn)) != 0) ++own;
}

void TcpStream::Data(bool sent, std::string_view bytes, Clock::time_point when) {
    using namespace packet::tcp;
    while (!bytes.empty()) {
        const std::string_view part = bytes.substr(0, packet::kMaxTcpPayload);
        Segment(sent, kPsh | kAck, part, when);
        bytes.remove_prefix(part.size());
    }
}

void TcpStream::Close(bool by_peer, Clock::time_point when) {
    using namespace packet::tcp;
    Segment(!by_peer, kFin | kAck, {}, when);
    Segment(by_peer, kFin | kAck, {}, when);
    Segment(!by_peer, kAck, {}, when);
}

void TcpStream::Reset(bool by_peer, Clock::time_point when) {
    Segment(!by_peer, packet::tcp::kRst | packet::tcp::kAck, {}, when);
}

}  // namespace capture
