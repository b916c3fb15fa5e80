#pragma once

#include <string>

#include "base/error.h"

namespace net {

// Texts of the failures that are not "Socket Error # ...".
inline constexpr const char* kCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* kAddressInUse =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* kPackageTooBig = "Package Size Too Big.";
inline constexpr const char* kNotAllBytesSent = "Not all bytes sent.";

// Windows Sockets numbers of the name lookup failures.
inline constexpr int kHostNotFound = 11001;
inline constexpr int kNoData = 11004;

// Maps a POSIX errno to its Windows Sockets number (EADDRINUSE -> 10048, EACCES -> 10013,
// ECONNREFUSED -> 10061, ...). An errno without a counterpart is returned unchanged: it stays
// below 10000, so it can never be mistaken for a Windows number and has no description.
int WsaFromErrno(int err);

// The description of a Windows Sockets number, "" for a number that is not in the table.
std::string SocketErrorDescription(int wsa);

// "Socket Error # <wsa>\r\n<description>".
base::Error SocketError(int wsa);

}  // namespace net
