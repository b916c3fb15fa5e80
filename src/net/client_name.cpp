#include "net/client_name.h"

namespace net {

std::string HostTag(std::string_view host) {
    constexpr std::string_view kReplaced = " _.,!?";
    std::string tag(host);
    for (char& c : tag) {
        if (kReplaced.find(c) != std::string_view::npos) c = '_';
    }
    return tag;
}

std::string ClientName(std::string_view tag) {
    return "Client" + std::string(tag);
}

}  // namespace net
