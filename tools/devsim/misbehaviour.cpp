#include "devsim/misbehaviour.h"

namespace devsim {

bool Misbehaviour::DropsRequest() {
    if (dropped_ >= options_.drop_requests) return false;
    ++dropped_;
    log_.Say("request dropped (" + std::to_string(dropped_) + " of " +
             std::to_string(options_.drop_requests) + ", --drop-requests)");
    return true;
}

bool Misbehaviour::Postpones(const sockaddr_in& from) {
    if (options_.delay_ms == 0) return false;
    if (late_.size() == kMostLate) {
        log_.Say("request dropped: " + std::to_string(kMostLate) + " late replies wait already");
        return true;
    }
    late_.push_back(
        {std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.delay_ms), from});
    log_.Say("request: the reply goes " + std::to_string(options_.delay_ms) + " ms late (--delay)");
    return true;
}

std::optional<sockaddr_in> Misbehaviour::TakeDue(std::chrono::steady_clock::time_point now) {
    if (late_.empty() || late_.front().due > now) return std::nullopt;
    const sockaddr_in to = late_.front().to;
    late_.pop_front();
    return to;
}

std::optional<std::chrono::steady_clock::time_point> Misbehaviour::NextDue() const {
    if (late_.empty()) return std::nullopt;
    return late_.front().due;
}

void Misbehaviour::BeforeReply(Settings& settings) {
    if (options_.swap_after && replies_ == *options_.swap_after) {
        settings.mac = options_.swap_mac;
        log_.Say("another unit answers from now on (--swap-after): mac " +
                 Escaped(options_.swap_mac));
    }
    ++replies_;
}

void Misbehaviour::Shape(std::string& reply) const {
    // Cut before the closing ">", as a device that leaves out the later fields would.
    if (options_.partial && *options_.partial < reply.size()) {
        reply.resize(*options_.partial);
        reply += '>';
    }
    if (options_.cut && *options_.cut < reply.size()) reply.resize(*options_.cut);
}

}  // namespace devsim
