/* A stand-in fbclient.dll for the Windows build's tests: enough of the client API to load, to
 * refuse or accept a password and to word its errors, so that loading, error texts and the
 * password fallback can be tested under Wine, where no Windows Firebird client exists.
 *
 * Attach accepts only the password "rivulo", and none at all for a database whose name contains
 * "refuse-all". Every other call fails. */
#include <ibase.h>
#include <string.h>

#define REFUSED 335544472
#define UNSUPPORTED 335544378 /* isc_wish_list: feature is not supported */

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
                         : "feature is not supported";
  strncpy(buffer, text, size - 1);
  buffer[size - 1] = 0;
  *vector = v + 2;
  return (ISC_LONG)strlen(buffer);
}

#define UNSUPPORTED_CALL(name, ...) \
  ISC_STATUS ISC_EXPORT name(ISC_STATUS* status, __VA_ARGS__) { return fail(status, UNSUPPORTED); }

UNSUPPORTED_CALL(isc_start_multiple, isc_tr_handle* a, short b, void* c)
UNSUPPORTED_CALL(isc_commit_transaction, isc_tr_handle* a)
UNSUPPORTED_CALL(isc_commit_retaining, isc_tr_handle* a)
UNSUPPORTED_CALL(isc_rollback_transaction, isc_tr_handle* a)
UNSUPPORTED_CALL(isc_dsql_allocate_statement, isc_db_handle* a, isc_stmt_handle* b)
UNSUPPORTED_CALL(isc_dsql_prepare, isc_tr_handle* a, isc_stmt_handle* b, unsigned short c, const ISC_SCHAR* d,
                 unsigned short e, XSQLDA* f)
UNSUPPORTED_CALL(isc_dsql_describe, isc_stmt_handle* a, unsigned short b, XSQLDA* c)
UNSUPPORTED_CALL(isc_dsql_describe_bind, isc_stmt_handle* a, unsigned short b, XSQLDA* c)
UNSUPPORTED_CALL(isc_dsql_execute, isc_tr_handle* a, isc_stmt_handle* b, unsigned short c, const XSQLDA* d)
UNSUPPORTED_CALL(isc_dsql_fetch, isc_stmt_handle* a, unsigned short b, const XSQLDA* c)
UNSUPPORTED_CALL(isc_dsql_free_statement, isc_stmt_handle* a, unsigned short b)
