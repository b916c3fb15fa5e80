#include "net/socket_error.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace net {

namespace {

// One row per Windows Sockets number: its description ("" where none is shown) and the
// system error numbers that stand for it here.
struct Row {
    int wsa;
    const char* description;
    std::array<int, 2> errnos;  // 0: none
};

// Linux reports a firewall refusal as EPERM where Windows says access denied, a send after
// the connection ended as EPIPE, and has no socket out-of-memory number but ENOMEM, for which
// buffer space is the nearest.
constexpr Row kTable[] = {
    {10004, "Interrupted system call.", {EINTR}},
    {10009, "Bad file number.", {EBADF}},
    {10013, "Access denied.", {EACCES, EPERM}},
    {10014, "Bad address.", {EFAULT}},
    {10022, "Invalid argument.", {EINVAL}},
    {10024, "Too many open files.", {EMFILE, ENFILE}},
    {10035, "Operation would block. ", {EWOULDBLOCK, EAGAIN}},
    {10036, "Operation now in progress.", {EINPROGRESS}},
    {10037, "Operation already in progress.", {EALREADY}},
    {10038, "Socket operation on non-socket.", {ENOTSOCK}},
    {10039, "Destination address required.", {EDESTADDRREQ}},
    {10040, "Message too long.", {EMSGSIZE}},
    {10041, "Protocol wrong type for socket.", {EPROTOTYPE}},
    {10042, "Bad protocol option.", {ENOPROTOOPT}},
    {10043, "Protocol not supported.", {EPROTONOSUPPORT}},
    {10044, "Socket type not supported.", {ESOCKTNOSUPPORT}},
    {10045, "Operation not supported on socket.", {EOPNOTSUPP}},
    {10046, "Protocol family not supported.", {EPFNOSUPPORT}},
    {10047, "Address family not supported by protocol family.", {EAFNOSUPPORT}},
    {10048, "Address already in use.", {EADDRINUSE}},
    {10049, "Cannot assign requested address.", {EADDRNOTAVAIL}},
    {10050, "Network is down.", {ENETDOWN}},
    {10051, "Network is unreachable.", {ENETUNREACH}},
    {10052, "Net dropped connection or reset.", {ENETRESET}},
    {10053, "Software caused connection abort.", {ECONNABORTED}},
    {10054, "Connection reset by peer.", {ECONNRESET}},
    {10055, "No buffer space available.", {ENOBUFS, ENOMEM}},
    {10056, "Socket is already connected.", {EISCONN}},
    {10057, "Socket is not connected.", {ENOTCONN}},
    {10058, "Cannot send or receive after socket is closed.", {ESHUTDOWN, EPIPE}},
    {10059, "Too many references, cannot splice.", {ETOOMANYREFS}},
    {10060, "Connection timed out.", {ETIMEDOUT}},
    {10061, "Connection refused.", {ECONNREFUSED}},
    {10062, "Too many levels of symbolic links.", {ELOOP}},
    {10063, "File name too long.", {ENAMETOOLONG}},
    {10064, "Host is down.", {EHOSTDOWN}},
    {10065, "No route to host.", {EHOSTUNREACH}},
    {10066, "Directory not empty", {ENOTEMPTY}},
    {10068, "", {EUSERS}},
    {10069, "", {EDQUOT}},
    {10070, "", {ESTALE}},
    {10071, "", {EREMOTE}},
    {kHostNotFound, "Host not found.", {}},
};

}  // namespace

int WsaFromErrno(int err) {
    if (err == 0) return 0;
    for (const Row& row : kTable) {
        for (const int e : row.errnos) {
            if (e == err) return row.wsa;
        }
    }
    return err;
}

std::string SocketErrorDescription(int wsa) {
    for (const Row& row : kTable) {
        if (row.wsa == wsa) return row.description;
    }
    return {};
}

std::string SystemErrorText(int wsa) {
    for (const Row& row : kTable) {
        if (row.wsa != wsa) continue;
        if (*row.description != '\0') return row.description;
        if (row.errnos[0] != 0) return std::strerror(row.errnos[0]);
    }
    switch (wsa) {
        case 11002:
            return "Nonauthoritative host not found.";
        case 11003:
            return "This is a nonrecoverable error.";
        case kNoData:
            return "Valid name, no data record of requested type.";
        default:
            break;
    }
    // A system error number without a Windows counterpart is passed on as it is.
    if (wsa > 0 && wsa < 10000) return std::strerror(wsa);
    return "Unknown error.";
}

base::Error SocketError(int wsa) {
    return base::Error("Socket Error # " + std::to_string(wsa) + "\r\n" +
                       SocketErrorDescription(wsa));
}

base::Error WindowsSocketError(int wsa, std::string_view api) {
    return base::Error("Windows socket error: " + SystemErrorText(wsa) + " (" +
                       std::to_string(wsa) + "), on API '" + std::string(api) + "'");
}

base::Error AsyncSocketError(int code) {
    return base::Error("Asynchronous socket error " + std::to_string(code));
}

}  // namespace net
