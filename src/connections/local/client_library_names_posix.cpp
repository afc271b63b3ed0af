// Client library names on Linux and other POSIX systems.
#include "connections/local/fb_client.h"

namespace localdb {

std::vector<std::string> DefaultClientLibraries() { return {"libfbclient.so.2", "libfbclient.so"}; }

// "fbclient" names nothing dlopen can find; the Linux client's own name stands for it.
std::string InitialVendorLib() { return "libfbclient.so.2"; }

}  // namespace localdb
