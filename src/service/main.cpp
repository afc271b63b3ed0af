// SrvTavrimondoClient: installs, uninstalls or runs the store replication service.
#include <exception>

#include "platform/os.h"
#include "service/service_application.h"
#include "service/tavrimondo_client.h"

int main(int argc, char** argv) {
  service::TServiceApplication Application(os::CommandLineArguments(argc, argv));
  try {
    Application.Initialize();
    Application.CreateForm(TavrimondoClient);
    int status = Application.Run();
    return status;
  } catch (const std::exception& e) {
    // An error nothing else handled (the service control manager could not be opened, say).
    os::ShowMessage(e.what(), true);
    return 1;
  }
}
