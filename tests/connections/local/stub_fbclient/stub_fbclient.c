/* A stand-in fbclient.dll for the Windows build's tests: enough of the client API to load, to
 * refuse or accept a password and to word its errors, so that loading, error texts and the
 * password fallback can be tested under Wine, where no Windows Firebird client exists.
 *
 * Attach accepts only the password "rivulo", and none at all for a database whose name contains
 * "refuse-all". Like a server before Firebird 4 it does not know SET BIND, which every connect
 * tries, in a transaction of its own. Every other call fails. */
#include <ibase.h>
#include <string.h>

#define REFUSED 335544472
#define UNSUPPORTED 335544378 /* isc_wish_list: feature is not supported */
#define TOKEN_UNKNOWN 335544634 /* isc_dsql_token_unk_err */

static ISC_STATUS fail(ISC_STATUS* status, ISC_STATUS code) {
  status[0] = isc_arg_gds;
  status[1] = code;
  status[2] = isc_arg_end;
  return code;
}

static ISC_STATUS ok(ISC_STATUS* status) {
  status[0] = isc_arg_gds;
  status[1] = 0;
  status[2] = isc_arg_end;
  return 0;
}

ISC_STATUS ISC_EXPORT isc_attach_database(ISC_STATUS* status, short name_length, const ISC_SCHAR* name,
                                          isc_db_handle* handle, short dpb_length, const ISC_SCHAR* dpb) {
  char db[1024] = {0};
  size_t n = name_length > 0 ? (size_t)name_length : strlen(name);
  if (n >= sizeof db) n = sizeof db - 1;
  memcpy(db, name, n);
  const char* password = "";
  unsigned char password_length = 0;
  for (int i = 1; i + 1 < dpb_length;) {
    unsigned char item = (unsigned char)dpb[i], len = (unsigned char)dpb[i + 1];
    if (item == isc_dpb_password) {
      password = dpb + i + 2;
      password_length = len;
    }
    i += 2 + len;
  }
  if (strstr(db, "refuse-all") || password_length != 6 || memcmp(password, "rivulo", 6) != 0)
    return fail(status, REFUSED);
  *handle = 1;
  return ok(status);
}

ISC_STATUS ISC_EXPORT isc_detach_database(ISC_STATUS* status, isc_db_handle* handle) {
  *handle = 0;
  return ok(status);
}

ISC_LONG ISC_EXPORT fb_interpret(ISC_SCHAR* buffer, unsigned int size, const ISC_STATUS** vector) {
  const ISC_STATUS* v = *vector;
  if (v[0] != isc_arg_gds || v[1] == 0) return 0;
  const char* text = v[1] == REFUSED
                         ? "Your user name and password are not defined. Ask your database administrator to set up "
                           "a Firebird login."
                         : v[1] == TOKEN_UNKNOWN ? "Token unknown" : "feature is not supported";
  strncpy(buffer, text, size - 1);
  buffer[size - 1] = 0;
  *vector = v + 2;
  return (ISC_LONG)strlen(buffer);
}

#define UNSUPPORTED_CALL(name, ...) \
  ISC_STATUS ISC_EXPORT name(ISC_STATUS* status, __VA_ARGS__) { return fail(status, UNSUPPORTED); }

/* Only the connect's own transaction and its SET BIND get this far. */
ISC_STATUS ISC_EXPORT isc_start_multiple(ISC_STATUS* status, isc_tr_handle* tr, short count, void* teb) {
  (void)count;
  (void)teb;
  *tr = 1;
  return ok(status);
}
static ISC_STATUS end_transaction(ISC_STATUS* status, isc_tr_handle* tr) {
  *tr = 0;
  return ok(status);
}
ISC_STATUS ISC_EXPORT isc_commit_transaction(ISC_STATUS* status, isc_tr_handle* tr) { return end_transaction(status, tr); }
ISC_STATUS ISC_EXPORT isc_rollback_transaction(ISC_STATUS* status, isc_tr_handle* tr) { return end_transaction(status, tr); }
ISC_STATUS ISC_EXPORT isc_dsql_allocate_statement(ISC_STATUS* status, isc_db_handle* db, isc_stmt_handle* stmt) {
  (void)db;
  *stmt = 1;
  return ok(status);
}
ISC_STATUS ISC_EXPORT isc_dsql_prepare(ISC_STATUS* status, isc_tr_handle* tr, isc_stmt_handle* stmt,
                                       unsigned short length, const ISC_SCHAR* sql, unsigned short dialect,
                                       XSQLDA* out) {
  (void)tr;
  (void)stmt;
  (void)length;
  (void)dialect;
  (void)out;
  return fail(status, strncmp(sql, "SET BIND", 8) == 0 ? TOKEN_UNKNOWN : UNSUPPORTED);
}
ISC_STATUS ISC_EXPORT isc_dsql_free_statement(ISC_STATUS* status, isc_stmt_handle* stmt, unsigned short option) {
  (void)option;
  *stmt = 0;
  return ok(status);
}
UNSUPPORTED_CALL(isc_commit_retaining, isc_tr_handle* a)
UNSUPPORTED_CALL(isc_dsql_describe, isc_stmt_handle* a, unsigned short b, XSQLDA* c)
UNSUPPORTED_CALL(isc_dsql_describe_bind, isc_stmt_handle* a, unsigned short b, XSQLDA* c)
UNSUPPORTED_CALL(isc_dsql_execute, isc_tr_handle* a, isc_stmt_handle* b, unsigned short c, const XSQLDA* d)
UNSUPPORTED_CALL(isc_dsql_fetch, isc_stmt_handle* a, unsigned short b, const XSQLDA* c)

