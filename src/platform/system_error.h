// How the platform layer reports a failed Windows call: as a value holding the system error
// code, read inside the wrapper right after the call.
//
//   SysResult<UniqueHandle> token = api.WTSQueryUserToken(session);
//   if (!token) return failure("WTSQueryUserToken", token.error());
//
// No code above the platform layer reads the last error itself.
#pragma once

#include <cstdint>

#include "platform/result.h"

namespace quolin::platform {

template <class T>
using SysResult = Result<T, std::uint32_t>;
using SysStatus = Status<std::uint32_t>;

// System error codes that portable code names. Windows defines them as macros, so these carry
// names of their own; the Win32 side checks them against the macros.
inline constexpr std::uint32_t CODE_FILE_NOT_FOUND = 2;     // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t CODE_PATH_NOT_FOUND = 3;     // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t CODE_ACCESS_DENIED = 5;      // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t CODE_INVALID_DRIVE = 15;     // ERROR_INVALID_DRIVE
inline constexpr std::uint32_t CODE_GEN_FAILURE = 31;       // ERROR_GEN_FAILURE
inline constexpr std::uint32_t CODE_SHARING_VIOLATION = 32; // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t CODE_LOCK_VIOLATION = 33;    // ERROR_LOCK_VIOLATION
inline constexpr std::uint32_t CODE_BAD_NETPATH = 53;       // ERROR_BAD_NETPATH
inline constexpr std::uint32_t CODE_BAD_NET_NAME = 67;      // ERROR_BAD_NET_NAME
inline constexpr std::uint32_t CODE_FILE_EXISTS = 80;       // ERROR_FILE_EXISTS
inline constexpr std::uint32_t CODE_ALREADY_EXISTS = 183;   // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t CODE_INTERRUPTED = 10004;    // WSAEINTR

// The code of a call that reported failure, given the last error it left. Wine does not always
// set one, and a failure must never read as "The operation completed successfully": a missing
// code becomes ERROR_GEN_FAILURE. Every wrapper of every group goes through here.
constexpr std::uint32_t failure_code(std::uint32_t last_error) {
  return last_error != 0 ? last_error : CODE_GEN_FAILURE;
}

}  // namespace quolin::platform
