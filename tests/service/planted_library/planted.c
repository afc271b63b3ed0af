/* A library planted where the agent might load it: its initialiser leaves a line in the file named
   by TAVRIMONDO_PLANTED_MARKER, with the process's user id, so that a test sees whether it ever ran.
   Built twice: with the Firebird client's entry points (PLANTED_CLIENT: it passes for a client) and
   without them. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void planted_ran(void) {
  const char* marker = getenv("TAVRIMONDO_PLANTED_MARKER");
  if (!marker) return;
  int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[64];
  int n = snprintf(line, sizeof line, "planted code ran as uid %d\n", (int)geteuid());
  if (n > 0) (void)!write(fd, line, (size_t)n);
  close(fd);
}

#ifdef PLANTED_CLIENT
#define ENTRY(name) \
  long name(void) { return 1; }
ENTRY(isc_attach_database)
ENTRY(isc_detach_database)
ENTRY(isc_start_multiple)
ENTRY(isc_commit_transaction)
ENTRY(isc_commit_retaining)
ENTRY(isc_rollback_transaction)
ENTRY(isc_dsql_allocate_statement)
ENTRY(isc_dsql_prepare)
ENTRY(isc_dsql_describe)
ENTRY(isc_dsql_describe_bind)
ENTRY(isc_dsql_execute)
ENTRY(isc_dsql_fetch)
ENTRY(isc_dsql_free_statement)
ENTRY(fb_interpret)
#else
long planted_other(void) { return 1; }
#endif
