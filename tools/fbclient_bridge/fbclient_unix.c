/* The unix half of the bridge: runs the Linux Firebird client for fbclient.dll (fbclient_pe.c).
 *
 * Wine loads this library when the Windows half asks for its call table, and runs the table's
 * entries on the Linux side of the process, where the System V calling convention of
 * libfbclient.so.2 applies. It is linked against that library, so a machine without it fails to
 * load this half and with it the DLL, instead of failing every call.
 */
#include <ibase.h>

#include "fbclient_bridge.h"

typedef int NTSTATUS; /* Wine's: 32-bit, 0 for success */

/* Every argument crossed as a 64-bit value; pointers convert back implicitly. */
#define P(i) ((void *)(uintptr_t)c->arg[i])

#define UNIX_CALL(name, expression)              \
  static NTSTATUS name(void *args) {             \
    struct bridge_args *c = args;                \
    c->result = (expression);                    \
    return 0;                                    \
  }

UNIX_CALL(attach_database, isc_attach_database(P(0), (short)c->arg[1], P(2), P(3), (short)c->arg[4], P(5)))
UNIX_CALL(detach_database, isc_detach_database(P(0), P(1)))
UNIX_CALL(start_multiple, isc_start_multiple(P(0), P(1), (short)c->arg[2], P(3)))
UNIX_CALL(commit_transaction, isc_commit_transaction(P(0), P(1)))
UNIX_CALL(commit_retaining, isc_commit_retaining(P(0), P(1)))
UNIX_CALL(rollback_transaction, isc_rollback_transaction(P(0), P(1)))
UNIX_CALL(dsql_allocate_statement, isc_dsql_allocate_statement(P(0), P(1), P(2)))
UNIX_CALL(dsql_prepare, isc_dsql_prepare(P(0), P(1), P(2), (unsigned short)c->arg[3], P(4),
                                         (unsigned short)c->arg[5], P(6)))
UNIX_CALL(dsql_describe, isc_dsql_describe(P(0), P(1), (unsigned short)c->arg[2], P(3)))
UNIX_CALL(dsql_describe_bind, isc_dsql_describe_bind(P(0), P(1), (unsigned short)c->arg[2], P(3)))
UNIX_CALL(dsql_execute, isc_dsql_execute(P(0), P(1), P(2), (unsigned short)c->arg[3], P(4)))
UNIX_CALL(dsql_fetch, isc_dsql_fetch(P(0), P(1), (unsigned short)c->arg[2], P(3)))
UNIX_CALL(dsql_free_statement, isc_dsql_free_statement(P(0), P(1), (unsigned short)c->arg[2]))
UNIX_CALL(interpret, fb_interpret(P(0), (unsigned int)c->arg[1], P(2)))

/* Wine looks this table up by name; the Windows half indexes it with enum bridge_call. */
__attribute__((visibility("default"))) NTSTATUS (*const __wine_unix_call_funcs[])(void *) = {
    [CALL_attach_database] = attach_database,
    [CALL_detach_database] = detach_database,
    [CALL_start_multiple] = start_multiple,
    [CALL_commit_transaction] = commit_transaction,
    [CALL_commit_retaining] = commit_retaining,
    [CALL_rollback_transaction] = rollback_transaction,
    [CALL_dsql_allocate_statement] = dsql_allocate_statement,
    [CALL_dsql_prepare] = dsql_prepare,
    [CALL_dsql_describe] = dsql_describe,
    [CALL_dsql_describe_bind] = dsql_describe_bind,
    [CALL_dsql_execute] = dsql_execute,
    [CALL_dsql_fetch] = dsql_fetch,
    [CALL_dsql_free_statement] = dsql_free_statement,
    [CALL_interpret] = interpret,
};

_Static_assert(sizeof __wine_unix_call_funcs / sizeof *__wine_unix_call_funcs == CALL_COUNT,
               "every call has an entry");
