// Linux: what an event-log entry looks like where a person reads it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/os.h"
#include "test_util.h"

namespace {

// Runs `f` with standard error going to a file; returns what was written there.
template <class F>
std::string CaptureStderr(F&& f) {
  testutil::TempDir dir;
  const std::string path = dir / "stderr";
  std::fflush(stderr);
  const int saved = ::dup(2);
  std::FILE* file = std::fopen(path.c_str(), "w");
  ::dup2(::fileno(file), 2);
  f();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::fclose(file);
  return testutil::ReadFile(path);
}

TEST(EventLog, LinesAreReadableUnderTheSourcesName) {
  ::unsetenv("JOURNAL_STREAM");
  // A Firebird error joins its lines with CR LF; the journal would show that as a blob.
  const std::string seen = CaptureStderr([] {
    os::WriteEventLog("TavrimondoClient", messages::Format(messages::kEvCycleFailed, {"um\r\ndois\xFF\r\n"}));
  });
  EXPECT_EQ(seen, "TavrimondoClient[" + std::to_string(::getpid()) +
                      "]: Falha no ciclo de replicação: um\ndois\xEF\xBF\xBD\n. Veja o log de atividades e a verificação (/STATUS)\n");
}

}  // namespace
