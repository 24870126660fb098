// Statement parameter records on the native side: merging values with the
// statement's parameter descriptions, output buffers, binding, copying and
// freeing. Free of Napi; runs on whichever thread does the statement work,
// under the connection lock.
//
// A record (dbcapi_bind_data) is heap-allocated and owned by the vector that
// holds it. It owns its buffer (char[]), its length cell (one size_t) and its
// null cell (one dbcapi_bool); its name points into the statement and is not
// owned.
#ifndef ZELK_BIND_RECORDS_H
#define ZELK_BIND_RECORDS_H

#include <vector>

#include "dbcapi/dbcapi.h"
#include "error_info.h"

// A zero-filled record with fresh length and null cells, both 0.
dbcapi_bind_data* newBindRecord();

// Frees the record's buffer and cells, and the record itself when asked.
void clearParameter(dbcapi_bind_data* param, bool freeRecord);
void clearParameters(std::vector<dbcapi_bind_data*>& params);
void clearParameters(dbcapi_bind_data** params, int count);

// Empties target, then fills it with deep copies of source.
void copyParameters(std::vector<dbcapi_bind_data*>& target, const std::vector<dbcapi_bind_data*>& source);

// Fails with -20013 or -20014 when supplied differs from the number of input
// and input/output parameters of stmt.
bool checkParameterCount(ErrorInfo& e, int supplied, dbcapi_stmt* stmt);

// Merges values (front first) with the parameter descriptions into out, one
// record per parameter. Consumed values move to out or are freed; the rest
// stay in values. Returns -1, or the index of a parameter whose text is not
// an integer though the parameter wants one.
int getBindParameters(std::vector<dbcapi_bind_data*>& values, std::vector<dbcapi_bind_data*>& out,
                      dbcapi_stmt* stmt);

// Binds records[i] to parameter i, giving output parameters a buffer large
// enough for their value. hasDataAtExec tells whether some parameter is to be
// sent later with dbcapi_send_param_data.
bool bindParameters(dbcapi_connection* conn, dbcapi_stmt* stmt, std::vector<dbcapi_bind_data*>& records,
                    ErrorInfo& e, bool& hasDataAtExec);

#endif
