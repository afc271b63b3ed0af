// Windows: who may change the program's folder, the access list an install gives it, and the
// lock file of the activity log, on real files and access lists.
//
// Under Wine an access list is kept only as the file's unix mode: what it shows afterwards is
// SYSTEM, the file's owner (the Wine user) and Everyone, with the rights the mode gives; entries
// for other groups (Users, the Administrators), the protected flag and inheritance are not kept,
// and nothing is enforced. So what these tests check everywhere is what survives that: an
// Everyone that may write is found, and is gone once the folder is protected; the exact lists are
// checked where the system keeps them.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/instance_lock.h"
#include "platform/os.h"
#include "test_util.h"

namespace {

std::wstring Wide(const std::string& s) {
  std::u16string u = text::Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}

std::string WithoutDelimiter(std::string p) {
  if (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  return p;
}

// Gives `path` exactly the access list of `sddl`, nothing inherited.
void SetAccessList(const std::string& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::wstring w = Wide(path);
  const DWORD rc = ::SetNamedSecurityInfoW(w.data(), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, dacl, nullptr);
  ::LocalFree(sd);
  ASSERT_EQ(rc, static_cast<DWORD>(ERROR_SUCCESS));
}

// The access list of `path` in SDDL form.
std::string AccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
    return "(unreadable)";
  LPWSTR text = nullptr;
  std::string out;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                              nullptr)) {
    std::wstring w(text);
    out.assign(w.begin(), w.end());
    ::LocalFree(text);
  }
  ::LocalFree(sd);
  return out;
}

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(FileTrustWindows, EveryoneMayWriteIsFoundAndAProtectedFolderHasNoOtherWriter) {
  testutil::TempDir dir;
  const std::string folder = WithoutDelimiter(dir.path());
  const std::vector<os::AccountId> me = {os::CurrentAccount()};
  SetAccessList(folder, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)");
  const std::vector<os::UntrustedWrite> open = os::UntrustedWriters({folder}, me);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_TRUE(text::EqualsIgnoreCase(open[0].path, folder));
  ASSERT_EQ(open[0].writers.size(), 1u);
  EXPECT_EQ(open[0].writers[0].kind, os::Writer::Kind::kEveryone);

  os::ProtectFolder(folder);
  EXPECT_TRUE(os::UntrustedWriters({folder}, me).empty()) << AccessList(folder);
  if (!UnderWine()) {
    EXPECT_EQ(AccessList(folder), "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
  }
}

TEST(FileTrustWindows, AGroupOfUsersWhoMayWriteIsNamed) {
  if (UnderWine()) GTEST_SKIP() << "Wine keeps no access-list entries for groups";
  testutil::TempDir dir;
  const std::string folder = WithoutDelimiter(dir.path());
  // What a folder made under C:\ gets: the Users may add and change files.
  SetAccessList(folder, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
  const std::vector<os::UntrustedWrite> open = os::UntrustedWriters({folder}, {os::CurrentAccount()});
  ASSERT_EQ(open.size(), 1u);
  ASSERT_EQ(open[0].writers.size(), 1u);
  EXPECT_EQ(open[0].writers[0].kind, os::Writer::Kind::kGroup);
  EXPECT_EQ(open[0].writers[0].name, "BUILTIN\\Users");
}

TEST(FileTrustWindows, TheAccountGivenIsTrustedToo) {
  testutil::TempDir dir;
  const std::string file = dir / "kordane.ini";
  testutil::WriteFile(file, "");
  const std::string me = os::CurrentAccount();
  ASSERT_FALSE(me.empty());
  SetAccessList(file, (L"D:P(A;;FA;;;SY)(A;;FA;;;" + Wide(me) + L")").c_str());
  EXPECT_FALSE(os::UntrustedWriters({file}, {}).empty());
  for (const auto& f : os::UntrustedWriters({file}, {me}))
    for (const auto& w : f.writers) EXPECT_EQ(w.kind, os::Writer::Kind::kOwner) << w.name;
}

TEST(FileTrustWindows, TheLogLockFileGrantsOnlyTheAdministrators) {
  testutil::TempDir dir;
  const std::string lock = dir / "Tavrimondo.lock";
  {
    os::InterProcessLock held(lock, std::chrono::milliseconds(0));
    ASSERT_TRUE(held.Held()) << held.Problem();
    EXPECT_EQ(AccessList(lock).find(";;;WD)"), std::string::npos) << AccessList(lock);
    if (!UnderWine()) {
      EXPECT_EQ(AccessList(lock), "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
    }
    // A second opener (another process, or another handle) waits, then goes on without it.
    const auto start = ::GetTickCount64();
    os::InterProcessLock second(lock, std::chrono::milliseconds(200));
    EXPECT_FALSE(second.Held());
    EXPECT_NE(second.Problem().find("held by another process"), std::string::npos) << second.Problem();
    EXPECT_GE(::GetTickCount64() - start, 150u);
  }
  os::InterProcessLock again(lock, std::chrono::milliseconds(0));
  EXPECT_TRUE(again.Held()) << again.Problem();
  // One found with a looser access list gets the lock's own again.
  testutil::TempDir other;
  const std::string planted = other / "Tavrimondo.lock";
  testutil::WriteFile(planted, "");
  SetAccessList(planted, L"D:P(A;;FA;;;WD)");
  const std::vector<os::AccountId> me = {os::CurrentAccount()};
  ASSERT_FALSE(os::UntrustedWriters({planted}, me).empty()) << AccessList(planted);
  os::InterProcessLock taken(planted, std::chrono::milliseconds(0));
  EXPECT_TRUE(taken.Held()) << taken.Problem();
  EXPECT_TRUE(os::UntrustedWriters({planted}, me).empty()) << AccessList(planted);
  if (!UnderWine()) {
    EXPECT_EQ(AccessList(planted), "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
  }
}

// A folder above the program's whose access list lets others delete or rename what it holds could
// have the program's folder swapped for another while the service is stopped.
TEST(FileTrustWindows, FoldersAboveCountByWhoMayDeleteOrRenameThem) {
  testutil::TempDir dir;
  const std::string above = WithoutDelimiter(dir.path());
  const std::string folder = above + "\\Tavrimondo";
  ASSERT_TRUE(::CreateDirectoryW(Wide(folder).c_str(), nullptr));
  const std::vector<os::AccountId> me = {os::CurrentAccount()};
  os::ProtectFolder(folder);
  SetAccessList(above, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;FA;;;WD)");
  const std::vector<os::UntrustedWrite> found = os::UntrustedWriters({folder}, me);
  ASSERT_EQ(found.size(), 1u) << AccessList(above) << "\n" << os::DescribeUntrusted(found);
  EXPECT_TRUE(text::EqualsIgnoreCase(found[0].path, above));
  EXPECT_EQ(found[0].writers[0].kind, os::Writer::Kind::kEveryone);
  if (!UnderWine()) {
    // Adding folders of their own is what users may do in C:\: it reaches nothing of the agent's.
    SetAccessList(above, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ad;;;WD)");
    EXPECT_TRUE(os::UntrustedWriters({folder}, me).empty()) << AccessList(above);
  }
}

// Whoever may open the agent's lock may hold a lock on it, and keep the service from ever
// starting: it grants only SYSTEM and the Administrators, also when it was there already.
TEST(FileTrustWindows, TheAgentsLockGrantsOnlyTheAdministratorsToo) {
  testutil::TempDir dir;
  const std::string fresh = dir / "Tavrimondo_Agente.lock";
  long holder = 0;
  {
    auto taken = os::InstanceLock::TryTake(fresh, holder);
    ASSERT_TRUE(taken);
    EXPECT_EQ(AccessList(fresh).find(";;;WD)"), std::string::npos) << AccessList(fresh);
    if (!UnderWine()) {
      EXPECT_EQ(AccessList(fresh), "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
    }
  }
  testutil::TempDir other;
  const std::string found = other / "Tavrimondo_Agente.lock";
  testutil::WriteFile(found, "");
  SetAccessList(found, L"D:P(A;;FA;;;WD)");
  const std::vector<os::AccountId> me = {os::CurrentAccount()};
  ASSERT_FALSE(os::UntrustedWriters({found}, me).empty()) << AccessList(found);
  auto taken = os::InstanceLock::TryTake(found, holder);
  ASSERT_TRUE(taken);
  // Wine keeps a list set on a file that exists only as its mode, where users may still read.
  EXPECT_TRUE(os::UntrustedWriters({found}, me).empty()) << AccessList(found);
  if (!UnderWine()) {
    EXPECT_EQ(AccessList(found), "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
  }
}

TEST(FileTrustWindows, AFileOfTwoNamesIsNotReadAsTheAgentsOwn) {
  testutil::TempDir dir;
  const std::string record = dir / "Tavrimondo_cycle.json", other = dir / "other.json";
  testutil::WriteFile(other, "{}");
  ASSERT_TRUE(::CreateHardLinkW(Wide(record).c_str(), Wide(other).c_str(), nullptr));
  try {
    os::File f(record, os::File::Mode::kReadOwn);
    FAIL() << "read";
  } catch (const os::ForeignFile& e) {
    EXPECT_NE(std::string(e.what()).find("2 names"), std::string::npos) << e.what();
  }
  ::DeleteFileW(Wide(other).c_str());
  os::File f(record, os::File::Mode::kReadOwn);  // one name again, this account's: its own
}

TEST(FileTrustWindows, ANewFileReplacesWhatWasLeftAtItsName) {
  testutil::TempDir dir;
  const std::string tmp = dir / "Tavrimondo_Estado.txt.novo";
  testutil::WriteFile(tmp, "restos de uma queda");
  {
    os::File f(tmp, os::File::Mode::kCreate);
    f.Write("novo", 4);
  }
  EXPECT_EQ(testutil::ReadFile(tmp), "novo");
}

}  // namespace
