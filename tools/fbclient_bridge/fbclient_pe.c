/* The Windows half of the bridge: a builtin fbclient.dll for Wine.
 *
 * No Windows Firebird client can be had on the machines that test the agent's Windows build, but
 * the Linux one can. This DLL exports the client entry points the agent looks up and hands each
 * call to the unix half (fbclient_unix.c), which runs the Linux library. A builtin DLL has to be
 * PE since Wine 8, and Windows x64 code cannot call System V code directly, so the crossing goes
 * through Wine's unix-call mechanism: ntdll gives a builtin module a handle to the function table
 * of the .so installed beside it, and __wine_unix_call_dispatcher runs an entry of that table.
 * Wine's own headers for this are not installed with Debian's packages, so the two pieces used are
 * declared here.
 */
#include <windows.h>

#include <ibase.h>

#include "fbclient_bridge.h"

#define MemoryWineUnixFuncs 1000 /* NtQueryVirtualMemory class: the module's unix call table */

typedef LONG(WINAPI *query_memory_fn)(HANDLE process, const void *address, int info_class, void *buffer,
                                      SIZE_T length, SIZE_T *result_length);
typedef LONG(WINAPI *dispatcher_fn)(UINT64 handle, unsigned int code, void *args);

static UINT64 unixlib;
static dispatcher_fn dispatch;

/* Loading fails outright when the unix half (and so the Linux client) is missing, as the real DLL
 * fails when one of its own dependencies is: the agent then reports that no client library could
 * be loaded instead of failing later on every call. */
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void *reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  DisableThreadLibraryCalls(self);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  query_memory_fn query = (query_memory_fn)(void *)GetProcAddress(ntdll, "NtQueryVirtualMemory");
  /* A data export: the address of ntdll's pointer to the current dispatcher. */
  dispatcher_fn *dispatcher = (dispatcher_fn *)(void *)GetProcAddress(ntdll, "__wine_unix_call_dispatcher");
  if (!query || !dispatcher) return FALSE; /* not running under Wine */
  if (query(GetCurrentProcess(), self, MemoryWineUnixFuncs, &unixlib, sizeof unixlib, NULL) != 0) return FALSE;
  dispatch = *dispatcher;
  return TRUE;
}

#define P(x) ((uint64_t)(uintptr_t)(x))
#define I(x) ((uint64_t)(int64_t)(x))

static int64_t call(enum bridge_call code, struct bridge_args *a) {
  dispatch(unixlib, code, a);
  return a->result;
}

#define EXPORT __declspec(dllexport)

EXPORT ISC_STATUS ISC_EXPORT isc_attach_database(ISC_STATUS *status, short name_length, const ISC_SCHAR *name,
                                                 isc_db_handle *db, short dpb_length, const ISC_SCHAR *dpb) {
  struct bridge_args a = {{P(status), I(name_length), P(name), P(db), I(dpb_length), P(dpb)}, 0};
  return call(CALL_attach_database, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_detach_database(ISC_STATUS *status, isc_db_handle *db) {
  struct bridge_args a = {{P(status), P(db)}, 0};
  return call(CALL_detach_database, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_start_multiple(ISC_STATUS *status, isc_tr_handle *tr, short count, void *teb) {
  struct bridge_args a = {{P(status), P(tr), I(count), P(teb)}, 0};
  return call(CALL_start_multiple, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_commit_transaction(ISC_STATUS *status, isc_tr_handle *tr) {
  struct bridge_args a = {{P(status), P(tr)}, 0};
  return call(CALL_commit_transaction, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_commit_retaining(ISC_STATUS *status, isc_tr_handle *tr) {
  struct bridge_args a = {{P(status), P(tr)}, 0};
  return call(CALL_commit_retaining, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_rollback_transaction(ISC_STATUS *status, isc_tr_handle *tr) {
  struct bridge_args a = {{P(status), P(tr)}, 0};
  return call(CALL_rollback_transaction, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_allocate_statement(ISC_STATUS *status, isc_db_handle *db,
                                                         isc_stmt_handle *stmt) {
  struct bridge_args a = {{P(status), P(db), P(stmt)}, 0};
  return call(CALL_dsql_allocate_statement, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_prepare(ISC_STATUS *status, isc_tr_handle *tr, isc_stmt_handle *stmt,
                                              unsigned short length, const ISC_SCHAR *sql, unsigned short dialect,
                                              XSQLDA *sqlda) {
  struct bridge_args a = {{P(status), P(tr), P(stmt), I(length), P(sql), I(dialect), P(sqlda)}, 0};
  return call(CALL_dsql_prepare, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_describe(ISC_STATUS *status, isc_stmt_handle *stmt, unsigned short version,
                                               XSQLDA *sqlda) {
  struct bridge_args a = {{P(status), P(stmt), I(version), P(sqlda)}, 0};
  return call(CALL_dsql_describe, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_describe_bind(ISC_STATUS *status, isc_stmt_handle *stmt,
                                                    unsigned short version, XSQLDA *sqlda) {
  struct bridge_args a = {{P(status), P(stmt), I(version), P(sqlda)}, 0};
  return call(CALL_dsql_describe_bind, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_execute(ISC_STATUS *status, isc_tr_handle *tr, isc_stmt_handle *stmt,
                                              unsigned short version, const XSQLDA *sqlda) {
  struct bridge_args a = {{P(status), P(tr), P(stmt), I(version), P(sqlda)}, 0};
  return call(CALL_dsql_execute, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_fetch(ISC_STATUS *status, isc_stmt_handle *stmt, unsigned short version,
                                            const XSQLDA *sqlda) {
  struct bridge_args a = {{P(status), P(stmt), I(version), P(sqlda)}, 0};
  return call(CALL_dsql_fetch, &a);
}

EXPORT ISC_STATUS ISC_EXPORT isc_dsql_free_statement(ISC_STATUS *status, isc_stmt_handle *stmt,
                                                     unsigned short option) {
  struct bridge_args a = {{P(status), P(stmt), I(option)}, 0};
  return call(CALL_dsql_free_statement, &a);
}

EXPORT ISC_LONG ISC_EXPORT fb_interpret(ISC_SCHAR *buffer, unsigned int size, const ISC_STATUS **status) {
  struct bridge_args a = {{P(buffer), I(size), P(status)}, 0};
  return (ISC_LONG)call(CALL_interpret, &a);
}
