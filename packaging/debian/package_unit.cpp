// Writes the Debian package's systemd unit to standard output, from the same code as the unit of
// the agent's install run, for the program at EXE run as ACCOUNT, its data in folders named DATA_NAME.
//   package_unit EXE ACCOUNT DATA_NAME   (the data folders: /var/lib/DATA_NAME, /var/log/DATA_NAME)
#include <cstdio>
#include <iostream>

#include "service/systemd_unit.h"
#include "service/tavrimondo_client.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: package_unit EXE ACCOUNT DATA_NAME\n", stderr);
    return 2;
  }
  service::ServiceDefinition def;
  def.name = kServiceName;
  def.display_name = kServiceDisplayName;
  std::cout << service::systemd::PackageUnitFileText(def, argv[1], argv[2], argv[3]);
  return std::cout.flush() ? 0 : 1;
}
