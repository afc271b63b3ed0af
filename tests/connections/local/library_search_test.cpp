// The search for the Firebird client library: a file that loads but is not a client is passed
// over, and a search that finds none names every file tried and why. Loading the client starts
// no server, so this needs none.
#include <gtest/gtest.h>

#include "connections/local/db_errors.h"
#include "connections/local/fb_client.h"

namespace {

using localdb::FbDriverManager;

// libm loads everywhere and has no isc_* entry point.
const char* const kNotAClient = "libm.so.6";
const char* const kMissing = "/nonexistent/libfbclient.so";

TEST(ClientLibrarySearch, ALibraryWithoutTheEntryPointsIsPassedOver) {
  FbDriverManager manager({kNotAClient, kMissing, "libfbclient.so.2"});
  bool created = false;
  manager.Load("", [&] { created = true; });
  EXPECT_TRUE(created);
  EXPECT_EQ(manager.LoadedFile(), "libfbclient.so.2");
}

TEST(ClientLibrarySearch, TheErrorNamesEveryFileTriedAndWhy) {
  FbDriverManager manager({kNotAClient, kMissing});
  try {
    manager.Load("", nullptr);
    FAIL() << "loaded " << manager.LoadedFile();
  } catch (const localdb::ClientLibraryError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("\"libm.so.6\": it lacks the function isc_attach_database"), std::string::npos) << m;
    EXPECT_NE(m.find(std::string("\"") + kMissing + "\": "), std::string::npos) << m;
  }
  EXPECT_FALSE(manager.Loaded());
  // A named library is the only file tried, and the same holds for it.
  try {
    manager.Load(kNotAClient, nullptr);
    FAIL() << "loaded " << manager.LoadedFile();
  } catch (const localdb::ClientLibraryError& e) {
    EXPECT_NE(std::string(e.what()).find("lacks the function"), std::string::npos) << e.what();
  }
}

}  // namespace
