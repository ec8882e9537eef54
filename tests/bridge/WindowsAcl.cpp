// The unit tests' way to give a file an access control list, on Windows.
// windows.h before the headers that build on it.
// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <string>

namespace WindowsAcl {

bool SetFileAccess(const std::string& file, const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  const bool set = SetFileSecurityA(file.c_str(), DACL_SECURITY_INFORMATION, descriptor) != FALSE;
  LocalFree(descriptor);
  return set;
}

}  // namespace WindowsAcl
