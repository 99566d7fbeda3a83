// The stack protector's guard value and its failure path, in place of libssp's.
//
// libssp draws its guard at start-up through CryptoAPI (CryptAcquireContextA, CryptGenRandom).
// Acquiring a provider loads the provider DLLs, and under Wine they bring user32, gdi32 and the
// font libraries, which stay: about 5 MiB resident in a service that never draws a window.
// RtlGenRandom (advapi32's SystemFunction036, which the service imports anyway) gives the same
// random bytes without loading anything.
//
// The linker takes this file from the platform library only when compiled code refers to the
// guard, that is, when the stack protector is on; tests/e2e/check_executable.py checks that the
// executable imports RtlGenRandom and not CryptoAPI. The attributes are in the GNU spelling that
// GCC and clang both know (clang has no [[gnu::no_stack_protector]]).
#include <cstdint>

#include "platform/windows_headers.h"

#include <ntsecapi.h>

namespace {
// Used until start-up draws the real value, and kept if drawing fails.
constexpr std::uintptr_t FIXED_GUARD = 0x2B992DDFA232;
}  // namespace

extern "C" {

// Read by every function the compiler protects. Constant-initialised, so it holds a value before
// any constructor runs.
std::uintptr_t __stack_chk_guard = FIXED_GUARD;  // NOLINT(bugprone-reserved-identifier): the compiler's name

// A protected function found its guard overwritten: the stack cannot be trusted, so nothing runs
// any more, no handler and no clean-up. The status is the one Windows reports for it.
[[noreturn]] void __stack_chk_fail() {  // NOLINT(bugprone-reserved-identifier): the compiler's name
  ::TerminateProcess(::GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}

}  // extern "C"

namespace {

// Runs among the C runtime's start-up constructors, before main and before any protected
// function of ours is on the stack. Unprotected itself: a frame that spans the change of the
// guard would fail its own check.
__attribute__((constructor, no_stack_protector)) void draw_stack_guard() {
  std::uintptr_t drawn = 0;
  if (::RtlGenRandom(&drawn, sizeof drawn) && drawn != 0) __stack_chk_guard = drawn;
}

}  // namespace
