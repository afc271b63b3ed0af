// Client library names on Windows.
#include "connections/local/fb_client.h"

namespace localdb {

std::vector<std::string> DefaultClientLibraries() { return {"fbclient.dll", "fbembed.dll"}; }

// LoadLibrary adds ".dll" to a name without an extension.
std::string InitialVendorLib() { return "fbclient"; }

}  // namespace localdb
