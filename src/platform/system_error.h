// How the platform layer reports a failed Windows call: as a value holding the system error
// code, read inside the wrapper right after the call.
//
//   SysResult<UniqueHandle> token = api.WTSQueryUserToken(session);
//   if (!token) return failure("WTSQueryUserToken", token.error().code());
//
// A wrapper fails with fail(code); the SysError made from it is never code 0.
//
// No code above the platform layer reads the last error itself.
#pragma once

#include <cstdint>

#include "platform/result.h"

namespace quolin::platform {

// System error codes that portable code names. Windows defines them as macros, so these carry
// names of their own; the Win32 side checks them against the macros.
inline constexpr std::uint32_t CODE_FILE_NOT_FOUND = 2;     // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t CODE_PATH_NOT_FOUND = 3;     // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t CODE_ACCESS_DENIED = 5;      // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t CODE_INVALID_DRIVE = 15;     // ERROR_INVALID_DRIVE
inline constexpr std::uint32_t CODE_GEN_FAILURE = 31;       // ERROR_GEN_FAILURE
inline constexpr std::uint32_t CODE_SHARING_VIOLATION = 32; // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t CODE_LOCK_VIOLATION = 33;    // ERROR_LOCK_VIOLATION
inline constexpr std::uint32_t CODE_DELETE_PENDING = 303;   // ERROR_DELETE_PENDING
inline constexpr std::uint32_t CODE_BAD_NETPATH = 53;       // ERROR_BAD_NETPATH
inline constexpr std::uint32_t CODE_BAD_NET_NAME = 67;      // ERROR_BAD_NET_NAME
inline constexpr std::uint32_t CODE_FILE_EXISTS = 80;       // ERROR_FILE_EXISTS
inline constexpr std::uint32_t CODE_ALREADY_EXISTS = 183;   // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t CODE_INTERRUPTED = 10004;    // WSAEINTR
inline constexpr std::uint32_t CODE_WRITE_FAULT = 29;       // ERROR_WRITE_FAULT

// How an error's text is looked up (FormatMessageW flags), and the bit of an HRESULT that says
// it carries an NTSTATUS, whose text is in ntdll's message table.
inline constexpr std::uint32_t MESSAGE_IGNORE_INSERTS = 0x200;   // FORMAT_MESSAGE_IGNORE_INSERTS
inline constexpr std::uint32_t MESSAGE_FROM_HMODULE = 0x800;     // FORMAT_MESSAGE_FROM_HMODULE
inline constexpr std::uint32_t MESSAGE_FROM_SYSTEM = 0x1000;     // FORMAT_MESSAGE_FROM_SYSTEM
inline constexpr std::uint32_t HRESULT_NT_BIT = 0x10000000;      // FACILITY_NT_BIT

// The code of a call that reported failure, given the last error it left. Wine does not always
// set one, and a failure must never read as "The operation completed successfully": a missing
// code becomes ERROR_GEN_FAILURE. SysError applies it, so every wrapper of every group does.
constexpr std::uint32_t failure_code(std::uint32_t last_error) {
  return last_error != 0 ? last_error : CODE_GEN_FAILURE;
}

// The one error of a failed system call, of every platform group: its system error code
// (a Win32 code; an NTSTATUS is translated before it gets here), never 0.
class SysError {
 public:
  constexpr explicit SysError(std::uint32_t code) : code_(failure_code(code)) {}
  constexpr std::uint32_t code() const { return code_; }
  friend constexpr bool operator==(SysError, SysError) = default;

 private:
  std::uint32_t code_;
};

template <class T>
using SysResult = Result<T, SysError>;
using SysStatus = Status<SysError>;

}  // namespace quolin::platform
