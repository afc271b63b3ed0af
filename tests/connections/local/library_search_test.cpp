// The search for the Firebird client library: a file that is not a client is passed over without
// ever loading, a search that finds none names every file tried and why, a library setting that
// could name a file elsewhere than meant is refused, and the export tables that tell a client
// apart are read safely whatever a file holds. Loading the client starts no server, so this needs
// none.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "connections/local/db_errors.h"
#include "connections/local/fb_client.h"
#include "platform/library.h"
#include "platform/library_exports.h"

namespace {

using localdb::FbDriverManager;

// libm loads everywhere and has no isc_* entry point.
const char* const kNotAClient = "libm.so.6";
const char* const kMissing = "/nonexistent/libfbclient.so";

TEST(ClientLibrarySearch, ALibraryWithoutTheEntryPointsIsPassedOverAndNamed) {
  FbDriverManager manager({kNotAClient, kMissing, "libfbclient.so.2"});
  bool created = false;
  manager.Load("", [&] { created = true; });
  EXPECT_TRUE(created);
  EXPECT_EQ(manager.LoadedFile(), "libfbclient.so.2");
  EXPECT_EQ(manager.LoadedPath().find(os::SystemLibrary("")), 0u) << manager.LoadedPath();
  // Passed over before it could load, and kept to be named: a missing file is not.
  ASSERT_EQ(manager.Refused().size(), 1u);
  EXPECT_EQ(manager.Refused()[0].path, os::SystemLibrary(kNotAClient));
  EXPECT_EQ(manager.Refused()[0].missing_function, "isc_attach_database");
}

TEST(ClientLibrarySearch, TheErrorNamesEveryFileTriedAndWhy) {
  FbDriverManager manager({kNotAClient, kMissing});
  try {
    manager.Load("", nullptr);
    FAIL() << "loaded " << manager.LoadedFile();
  } catch (const localdb::ClientLibraryError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("\"" + os::SystemLibrary(kNotAClient) + "\": it lacks the function isc_attach_database"),
              std::string::npos)
        << m;
    EXPECT_NE(m.find(std::string("\"") + kMissing + "\": No such file or directory"), std::string::npos) << m;
  }
  EXPECT_FALSE(manager.Loaded());
  // A named library is the only file tried, and the same holds for it.
  try {
    manager.Load(os::SystemLibrary(kNotAClient), nullptr);
    FAIL() << "loaded " << manager.LoadedFile();
  } catch (const localdb::ClientLibraryError& e) {
    EXPECT_NE(std::string(e.what()).find("lacks the function"), std::string::npos) << e.what();
  }
}

TEST(ClientLibrarySearch, ALibrarySettingThatClimbsOutOfAFolderIsRefused) {
  FbDriverManager manager({"libfbclient.so.2"});
  for (const std::string bad : {"../libfbclient.so.2", "/usr/lib/../lib/x86_64-linux-gnu/libfbclient.so.2", "lib/../x.so"}) {
    try {
      manager.Load(bad, nullptr);
      FAIL() << "loaded " << bad;
    } catch (const localdb::ClientLibraryError& e) {
      EXPECT_NE(std::string(e.what()).find("named by VendorLib in the settings: it climbs out of a folder"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_FALSE(manager.Loaded());
  EXPECT_EQ(os::LibraryPathProblem("/usr/lib/x86_64-linux-gnu/libfbclient.so.2"), "");
  EXPECT_EQ(os::LibraryPathProblem("libfbclient.so.2"), "");
  EXPECT_EQ(os::LibraryPathProblem("firebird/libfbclient.so.2"), "");  // below the program's folder
}

// ---- the export tables --------------------------------------------------------------------------

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string MissingIn(const std::string& bytes, const std::vector<std::string>& names) {
  return os::FirstMissingExport(
      [&](std::uint64_t offset, void* buf, std::size_t n) -> std::size_t {
        if (offset >= bytes.size()) return 0;
        const std::size_t k = std::min<std::size_t>(n, bytes.size() - static_cast<std::size_t>(offset));
        std::memcpy(buf, bytes.data() + offset, k);
        return k;
      },
      bytes.size(), names);
}

TEST(LibraryExports, TheDynamicSymbolTableTellsAClientFromAnyOtherLibrary) {
  const std::string client = FileBytes(os::SystemLibrary("libfbclient.so.2"));
  const std::string libm = FileBytes(os::SystemLibrary("libm.so.6"));
  ASSERT_FALSE(client.empty());
  ASSERT_FALSE(libm.empty());
  EXPECT_EQ(MissingIn(client, {"isc_attach_database", "isc_dsql_fetch", "fb_interpret"}), "");
  EXPECT_EQ(MissingIn(client, {"isc_attach_database", "no_such_function"}), "no_such_function");
  EXPECT_EQ(MissingIn(libm, {"cos", "isc_attach_database"}), "isc_attach_database");
  // A function the library only imports is not one it exports.
  EXPECT_EQ(MissingIn(client, {"malloc"}), "malloc");
}

TEST(LibraryExports, ThePeExportTableIsReadToo) {
  // Wine's own kernel32.dll, where Wine is installed: a Windows library on a Linux disk.
  const std::string dll = FileBytes("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll");
  if (dll.empty()) GTEST_SKIP() << "no Windows library here to read";
  EXPECT_EQ(MissingIn(dll, {"CreateFileW", "GetProcAddress"}), "");
  EXPECT_EQ(MissingIn(dll, {"CreateFileW", "isc_attach_database"}), "isc_attach_database");
  EXPECT_THROW(MissingIn(dll.substr(0, 512), {"CreateFileW"}), std::runtime_error);
}

TEST(LibraryExports, AnythingButALibraryIsAnErrorNeverACrash) {
  const std::string real = FileBytes(os::SystemLibrary("libm.so.6"));
  auto cut = [&](std::size_t n) { return real.substr(0, n); };
  std::string far_sections = real;
  const std::uint64_t beyond = 1ull << 60;
  std::memcpy(far_sections.data() + 0x28, &beyond, sizeof beyond);  // e_shoff
  std::string no_sections = real;
  std::memset(no_sections.data() + 0x28, 0, 8);
  const std::string pe_header_beyond = std::string("MZ") + std::string(58, '\0') + std::string("\xff\xff\xff\x7f", 4);
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"text", "[Kordane]\r\nVendorLib=x\r\n"},
      {"an ELF header cut short", cut(40)},
      {"an ELF file cut before its sections", cut(real.size() / 2)},
      {"a section table beyond the file", far_sections},
      {"no section table", no_sections},
      {"a PE header beyond the file", pe_header_beyond},
      {"a bare MZ", "MZ"},
  };
  for (const auto& c : cases) {
    try {
      const std::string missing = MissingIn(c.bytes, {"isc_attach_database"});
      ADD_FAILURE() << c.what << ": read as a library lacking \"" << missing << "\"";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("it is not a library: ", 0), 0u) << c.what << ": " << e.what();
    }
  }
}

}  // namespace
