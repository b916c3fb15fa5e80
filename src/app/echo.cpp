#include "app/echo.h"

namespace app {
namespace {
constexpr std::string_view kReplyStart = "Replied from ";
}

bool IsEchoReply(std::string_view datagram) {
    return datagram.starts_with(kReplyStart);
}

bool AnswersDatagram(std::string_view datagram, bool fromOwnSocket) {
    return !fromOwnSocket && !IsEchoReply(datagram);
}

std::string EchoReply(std::string_view hostName, std::string_view datagram) {
    std::string reply;
    EchoReplyInto(reply, hostName, datagram);
    return reply;
}

void EchoReplyInto(std::string& reply, std::string_view hostName, std::string_view datagram) {
    constexpr std::string_view kTo = " to \"";
    reply.clear();
    reply.reserve(kReplyStart.size() + hostName.size() + kTo.size() + datagram.size() + 1);
    reply.append(kReplyStart).append(hostName).append(kTo).append(datagram).push_back('"');
}

}  // namespace app
