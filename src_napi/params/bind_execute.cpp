#include "bind_execute.h"

#include "bind_records.h"
#include "dbcapi/DBCAPI_DLL.h"

namespace {

bool mergeValues(dbcapi_stmt* stmt, std::vector<dbcapi_bind_data*>& inputValues,
                 std::vector<dbcapi_bind_data*>& bindParams, ErrorInfo& error) {
    if (!checkParameterCount(error, static_cast<int>(inputValues.size()), stmt)) {
        return false;
    }
    int failed = getBindParameters(inputValues, bindParams, stmt);
    if (failed >= 0) {
        getErrorMsgInvalidParam(error, failed);
        return false;
    }
    return true;
}

}  // namespace

bool bindAndExecute(dbcapi_connection* conn, dbcapi_stmt* stmt, std::vector<dbcapi_bind_data*>& inputValues,
                    std::vector<dbcapi_bind_data*>& bindParams, bool checkValues, ErrorInfo& error,
                    const std::function<void()>& onDataAtExec) {
    if (checkValues && !mergeValues(stmt, inputValues, bindParams, error)) {
        return false;
    }
    bool hasDataAtExec = false;
    if (!bindParameters(conn, stmt, bindParams, error, hasDataAtExec)) {
        return false;
    }
    if (hasDataAtExec && onDataAtExec) {
        onDataAtExec();
    }
    if (!g_api.dbcapi_execute(stmt)) {
        getErrorMsg(conn, error);
        return false;
    }
    return true;
}
