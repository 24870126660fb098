// The one way an execute binds its values and runs the statement, shared by
// the connection's exec and the statement's exec and execQuery.
#ifndef ZELK_BIND_EXECUTE_H
#define ZELK_BIND_EXECUTE_H

#include <functional>
#include <vector>

#include "dbcapi/dbcapi.h"
#include "error_info.h"

// Checks the number of values against the statement's parameters, merges
// them with the parameter descriptions into bindParams, binds and executes.
// With checkValues false the values are not looked at and bindParams is
// bound as it is. onDataAtExec, when given, runs before the execute if some
// parameter's data is streamed later. False with error set.
bool bindAndExecute(dbcapi_connection* conn, dbcapi_stmt* stmt, std::vector<dbcapi_bind_data*>& inputValues,
                    std::vector<dbcapi_bind_data*>& bindParams, bool checkValues, ErrorInfo& error,
                    const std::function<void()>& onDataAtExec = nullptr);

#endif
