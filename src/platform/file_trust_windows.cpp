// Windows: who may change a file, from its owner and the allowing entries of its access list.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/os.h"
#include "platform/wide_text_windows.h"

namespace os {

namespace {

using win::Narrow;
using win::Wide;

std::string SidText(PSID sid) {
  LPWSTR s = nullptr;
  if (!::ConvertSidToStringSidW(sid, &s)) return {};
  std::string out = Narrow(s);
  ::LocalFree(s);
  return out;
}

// "DOMAIN\name" as the system words it, or the SID when it has no name here.
std::string AccountName(PSID sid, SID_NAME_USE* use) {
  wchar_t name[256], domain[256];
  DWORD name_n = 256, domain_n = 256;
  *use = SidTypeUnknown;
  if (!::LookupAccountSidW(nullptr, sid, name, &name_n, domain, &domain_n, use)) return SidText(sid);
  std::wstring full = domain_n ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return Narrow(full);
}

// Rights that change what a file holds or who may change it; for a folder, also adding or
// removing what it holds.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool TrustedSid(PSID sid, const std::vector<AccountId>& also_trusted) {
  if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
  const std::string text = SidText(sid);
  // NT SERVICE\TrustedInstaller, the owner of the system's own files.
  if (text == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") return true;
  for (const AccountId& a : also_trusted)
    if (a == text) return true;
  return false;
}

std::vector<Writer> Writers(const std::string& path, const std::vector<AccountId>& also_trusted) {
  std::vector<Writer> out;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                           &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) {
    out.push_back({Writer::Kind::kUnknown, "its access list cannot be read: " + SysErrorMessage(static_cast<int>(rc))});
    return out;
  }
  SID_NAME_USE use;
  if (owner && !TrustedSid(owner, also_trusted)) out.push_back({Writer::Kind::kOwner, AccountName(owner, &use)});
  if (!dacl) {
    out.push_back({Writer::Kind::kEveryone, ""});  // no access list: no limit at all
  } else {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      if (!::GetAce(dacl, i, &ace)) continue;
      const auto* header = static_cast<ACE_HEADER*>(ace);
      // Only what allows, on this object itself (not only on what it will hold).
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      if (!(allowed->Mask & kWriteRights)) continue;
      PSID sid = &allowed->SidStart;
      if (TrustedSid(sid, also_trusted) || ::IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
      if (::IsWellKnownSid(sid, WinWorldSid)) {
        out.push_back({Writer::Kind::kEveryone, ""});
        continue;
      }
      const std::string name = AccountName(sid, &use);
      const bool group = use == SidTypeGroup || use == SidTypeWellKnownGroup || use == SidTypeAlias;
      Writer w{group ? Writer::Kind::kGroup : Writer::Kind::kUser, name};
      bool seen = false;
      for (const Writer& o : out) seen = seen || (o.kind == w.kind && o.name == w.name);
      if (!seen) out.push_back(w);
    }
  }
  ::LocalFree(sd);
  return out;
}

}  // namespace

AccountId CurrentAccount() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::vector<BYTE> buf(256);
  DWORD n = 0;
  std::string out;
  if (::GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()), &n) ||
      (::GetLastError() == ERROR_INSUFFICIENT_BUFFER && (buf.resize(n), true) &&
       ::GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()), &n)))
    out = SidText(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
  ::CloseHandle(token);
  return out;
}

AccountId OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
    return {};
  std::string out = owner ? SidText(owner) : std::string();
  ::LocalFree(sd);
  return out;
}

std::vector<AccountId> OwnAccounts() {
  AccountId me = CurrentAccount();
  return me.empty() ? std::vector<AccountId>{} : std::vector<AccountId>{me};
}

std::vector<AccountId> OwnersOf(const std::string& path) {
  AccountId owner = OwnerOf(path);
  return owner.empty() ? std::vector<AccountId>{} : std::vector<AccountId>{owner};
}

std::vector<UntrustedWrite> UntrustedWriters(const std::vector<std::string>& paths,
                                             const std::vector<AccountId>& also_trusted) {
  std::vector<UntrustedWrite> found;
  for (const std::string& path : paths) {
    if (::GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    bool seen = false;
    for (const UntrustedWrite& w : found) seen = seen || text::EqualsIgnoreCase(w.path, path);
    if (seen) continue;
    std::vector<Writer> writers = Writers(path, also_trusted);
    if (!writers.empty()) found.push_back({path, std::move(writers)});
  }
  return found;
}

void ProtectFolder(const std::string& folder) {
  // SYSTEM and the Administrators full control, Users read and execute; the folder and all it
  // holds; nothing from above.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &sd, nullptr)) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, SysErrorMessage(e));
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::wstring path = Wide(folder);
  DWORD rc = ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     dacl, nullptr);
  ::LocalFree(sd);
  if (rc != ERROR_SUCCESS) throw OsError(static_cast<int>(rc), SysErrorMessage(static_cast<int>(rc)));
  // A folder a user made stays theirs, and its owner may change its access list again: the
  // Administrators take it over where this account may do that (not a failure when it may not:
  // the check at start names such an owner).
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size))
    ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, admins, nullptr, nullptr, nullptr);
}

}  // namespace os
