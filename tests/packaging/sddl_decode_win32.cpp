// sddl_decode: parses each SDDL string given on the command line as Windows does
// (ConvertStringSecurityDescriptorToSecurityDescriptorW) and prints what it grants, so that a
// test can judge the rights themselves rather than their spelling:
//   owner <SID>
//   dacl protected=<0|1>
//   ace <type> <SID> mask=0x<hex> flags=0x<hex>      one line per ACE, in order
// Exit status: 0 all parsed; otherwise the Windows error of the first string that did not.
#include <windows.h>
#include <sddl.h>

#include <cstdio>

namespace {

void print_sid(const char* what, PSID sid, const char* end = "\n") {
  LPWSTR text = nullptr;
  const bool ok = sid != nullptr && ConvertSidToStringSidW(sid, &text);
  std::printf("%s %ls%s", what, ok ? text : L"none", end);
  if (ok) LocalFree(text);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[i], SDDL_REVISION_1, &sd,
                                                              nullptr)) {
      const DWORD error = GetLastError();
      std::printf("error %lu\n", error);
      return static_cast<int>(error);
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    print_sid("owner", owner);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::printf("dacl present=%d protected=%d\n", present ? 1 : 0,
                (control & SE_DACL_PROTECTED) ? 1 : 0);
    for (DWORD k = 0; dacl != nullptr && k < dacl->AceCount; ++k) {
      void* ace = nullptr;
      if (!GetAce(dacl, k, &ace)) return static_cast<int>(GetLastError());
      // Allowed and denied ACEs share one layout: header, mask, then the SID.
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      const BYTE type = allowed->Header.AceType;
      std::printf("ace %s", type == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                            : type == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                             : "other");
      print_sid("", &allowed->SidStart, "");
      std::printf(" mask=0x%lx flags=0x%x\n", allowed->Mask, allowed->Header.AceFlags);
    }
    LocalFree(sd);
  }
  return 0;
}
