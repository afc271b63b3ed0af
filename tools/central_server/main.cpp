// TavrimondoCentral: the stand-in central server. Usage:
//   TavrimondoCentral [--port N] [--bind ADDR] [--port-file PATH] [--dump-file PATH] [--branch CODE]...
//                     [--firebird PATH [--firebird-server HOST] [--firebird-user U] [--firebird-password P]]
//                     [fault options, see stand_in_server.h]
// Stores what it receives in a Firebird central database (create-central-db.sh creates one), or
// in memory only when no database is named; logs to stderr.
#include <iostream>

#include <cstdlib>
#include <memory>

#include "firebird_store.h"
#include "memory_store.h"
#include "platform/os.h"
#include "stand_in_server.h"

int main(int argc, char** argv) {
  using namespace central_server;
  try {
    Options options = Options::Parse(os::CommandLineArguments(argc, argv));
    std::unique_ptr<CentralStore> store;
    if (options.firebird_path.empty()) {
      auto memory = std::make_unique<MemoryStore>(&NowTimeStampMs);
      for (std::int32_t b : options.branches) memory->AddBranch(b);
      store = std::move(memory);
      Log("storing in memory only (--firebird PATH keeps what arrives in a central database)");
    } else {
      std::string password = options.firebird_password;
      if (password.empty()) {
        const char* env = std::getenv("TAVRIMONDO_FB_PASSWORD");
        password = env ? env : "";
      }
      auto fb = std::make_unique<FirebirdStore>(options.firebird_server, options.firebird_path, options.firebird_user,
                                                password);
      for (std::int32_t b : options.branches) fb->AddBranch(b);
      store = std::move(fb);
      Log("storing in " + options.firebird_server + ":" + options.firebird_path);
    }
    StandInServer server(options, *store);
    server.Start();
    server.Run();
  } catch (const std::exception& e) {
    std::cerr << "TavrimondoCentral: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
