// TavrimondoCentral: the stand-in central server. Usage:
//   TavrimondoCentral [--port N] [--bind ADDR] [--port-file PATH] [--dump-file PATH] [--branch CODE]...
//                     [fault options, see stand_in_server.h]
// Stores what it receives in memory only; logs to stderr.
#include <iostream>

#include "memory_store.h"
#include "platform/os.h"
#include "stand_in_server.h"

int main(int argc, char** argv) {
  using namespace central_server;
  try {
    Options options = Options::Parse(os::CommandLineArguments(argc, argv));
    MemoryStore store(&NowMs0001);
    for (std::int32_t b : options.branches) store.AddBranch(b);
    StandInServer server(options, store);
    server.Start();
    server.Run();
  } catch (const std::exception& e) {
    std::cerr << "TavrimondoCentral: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
