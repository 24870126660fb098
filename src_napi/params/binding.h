// JavaScript values as statement parameters: one value to one bind record,
// positional and named parameter lists, and execute options.
// JavaScript thread only; the native half of binding is bind_records.h,
// batch rows are batch_rows.h, and every execute binds through bind_execute.h.
#ifndef ZELK_BINDING_H
#define ZELK_BINDING_H

#include <napi.h>

#include <vector>

#include "arguments.h"
#include "bind_records.h"
#include "dbcapi/dbcapi.h"
#include "error_info.h"

struct ExecuteOptions {
    bool nestTables = false;
    bool rowsAsArray = false;
    bool fastInternalRows = false;
};

// A new record for value, or null for a value that cannot be a parameter
// (plain objects, symbols, externals, a BigInt beyond 64 bits, an invalid
// Date). A BigInt binds as a 64-bit integer, a Date as the TIMESTAMP text
// of its instant in UTC.
dbcapi_bind_data* getBindParameter(const Napi::Value& value);

// The error for a value getBindParameter refused at parameter index: an
// argument error for a BigInt or Date it cannot carry exactly, else -20007.
void getErrorMsgRefusedParameter(const Napi::Value& value, int index, ErrorInfo& e);

// Converts an array (positional) or an object (named, matched against the
// parameter names of stmt) into records; out is emptied first. Any other
// value gives no records. Fails with -20007 naming the parameter position.
bool getInputParameters(const Napi::Value& params, std::vector<dbcapi_bind_data*>& out, dbcapi_stmt* stmt,
                        ErrorInfo& e);

// Sets the options named (in any case) in options to whether their value
// reads "true"; false when reading options raised a JavaScript exception.
bool getExecuteOptions(const Napi::Object& options, ExecuteOptions* executeOptions);

#endif
