// The store's Firebird database: a connection, its transactions and its statements.
//
// A small database layer in the manner of the one the agent's components are modelled on, one
// file per concern:
//   database_connection.h  TFDPhysFBDriverLink (which client library to load, once per process)
//                          and TFDConnection (an ordered name=value definition and Connected)
//   transaction.h          TFDTransaction: read-committed, started on demand and ended when its
//                          last statement ends
//   statement.h            TFDQuery: a fixed SQL text with :NAME parameters; a forward-only,
//                          streaming cursor
//   field_values.h         TField: a column of the current row as the agent's types
//
// Texts are UTF-8 here and ISO8859_1 on the wire; a text that ISO8859_1 cannot hold raises
// EDatabaseError instead of being sent altered. Every failure is an exception derived from
// EDatabaseError (Firebird's own messages come as EFirebirdError).
//
// Thread-safety: none of these objects locks. Callers on several threads serialise their use,
// e.g. with LocalConnection::Lock.
#pragma once

#include "connections/local/database_connection.h"
#include "connections/local/db_errors.h"
#include "connections/local/field_values.h"
#include "connections/local/statement.h"
#include "connections/local/transaction.h"
