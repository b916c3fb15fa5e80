#pragma once

#include <string>
#include <string_view>

#include "base/error.h"

namespace net {

// Texts of the failures that are not "Socket Error # ...".
inline constexpr const char* kCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* kAddressInUse =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* kPackageTooBig = "Package Size Too Big.";
inline constexpr const char* kNotAllBytesSent = "Not all bytes sent.";

// Texts of the TCP clients' own failures.
inline constexpr const char* kCannotCreateSocket = "Can't create new socket";
inline constexpr const char* kNoAddressSpecified = "No address specified";

// Windows Sockets numbers of the name lookup failures; kNoAddress for an empty host name.
inline constexpr int kHostNotFound = 11001;
inline constexpr int kNoData = 11004;
inline constexpr int kNoAddress = 1110;
// Windows Sockets numbers that the system's error numbers do not give here.
inline constexpr int kTooManyOpenFiles = 10024;
inline constexpr int kNoBufferSpace = 10055;

// Maps a POSIX errno to its Windows Sockets number (EADDRINUSE -> 10048, EACCES -> 10013,
// ECONNREFUSED -> 10061, ...). An errno without a counterpart is returned unchanged: it stays
// below 10000, so it can never be mistaken for a Windows number and has no description.
int WsaFromErrno(int err);

// The description of a Windows Sockets number, "" for a number that is not in the table.
std::string SocketErrorDescription(int wsa);

// The system's text for a number, never empty: the description, else a text of its own.
std::string SystemErrorText(int wsa);

// "Socket Error # <wsa>\r\n<description>": the UDP endpoints' failures.
base::Error SocketError(int wsa);

// "Windows socket error: <system's text> (<wsa>), on API '<api>'": a TCP client's failed call.
base::Error WindowsSocketError(int wsa, std::string_view api);

// "Asynchronous socket error <code>": a TCP client's notification that carried an error.
base::Error AsyncSocketError(int code);

}  // namespace net
