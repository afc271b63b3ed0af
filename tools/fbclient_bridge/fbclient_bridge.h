/* What the two halves of the bridge agree on: the call numbers and the argument block.
 *
 * The Windows half cannot call System V code directly, so every entry point is a Wine unix call:
 * a number and a pointer to this block. Both halves run in the same address space and the client's
 * data (status vectors, 32-bit handles, the transaction block, XSQLDA) has the same layout on both
 * sides, so every argument crosses as the 64-bit value it already is.
 */
#ifndef FBCLIENT_BRIDGE_H
#define FBCLIENT_BRIDGE_H

#include <stdint.h>

/* The order is the index into the unix half's __wine_unix_call_funcs. */
enum bridge_call {
  CALL_attach_database,
  CALL_detach_database,
  CALL_start_multiple,
  CALL_commit_transaction,
  CALL_commit_retaining,
  CALL_rollback_transaction,
  CALL_dsql_allocate_statement,
  CALL_dsql_prepare,
  CALL_dsql_describe,
  CALL_dsql_describe_bind,
  CALL_dsql_execute,
  CALL_dsql_fetch,
  CALL_dsql_free_statement,
  CALL_interpret,
  CALL_COUNT
};

struct bridge_args {
  uint64_t arg[7]; /* in the entry point's order; narrow integers are sign- or zero-extended */
  int64_t result;  /* the real function's return value */
};

#endif
