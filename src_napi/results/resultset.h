// ResultSet: a query result walked row by row through its statement's
// handle, result by result, with large values read in slices.
// results/ also holds the fetch of whole results (fetch.h), the binary
// transport (result_builder.h), conversion of single values, and
// value_rules.h, the number and large-object rules every path follows.
#ifndef ZELK_RESULTSET_H
#define ZELK_RESULTSET_H

#include <napi.h>

#include <atomic>
#include <string>
#include <vector>

#include "db_values.h"
#include "dbcapi/dbcapi.h"
#include "error_info.h"

class Connection;
class InternalResultSetBuilder;
class Statement;

class ResultSet : public Napi::ObjectWrap<ResultSet> {
public:
    static void Init(Napi::Env env, Napi::Object exports);
    // Creates the object; empty when construction threw. Only the script
    // holds it until it is closed or its statement dropped, so an
    // unreferenced result set is collected.
    static Napi::Value NewInstance(Napi::Value statement);

    explicit ResultSet(const Napi::CallbackInfo& info);
    ~ResultSet() override;

    // Takes the handle and copies of the column descriptions; binds the
    // columns for a one-row row set when the connection allows it. Binding
    // that runs out of memory leaves the result set unbound.
    void init(dbcapi_stmt* handle, const std::vector<dbcapi_column_info*>& columns);
    void _setClosing();
    void _close();
    dbcapi_stmt* handle() const { return stmt; }

private:
    friend class Statement;
    friend class ConnectionLock;

    Napi::Value close(const Napi::CallbackInfo& info);
    Napi::Value isClosed(const Napi::CallbackInfo& info);
    Napi::Value getRowCount(const Napi::CallbackInfo& info);
    Napi::Value getColumnCount(const Napi::CallbackInfo& info);
    Napi::Value getColumnName(const Napi::CallbackInfo& info);
    Napi::Value getColumnInfo(const Napi::CallbackInfo& info);
    Napi::Value getValue(const Napi::CallbackInfo& info);
    Napi::Value getValues(const Napi::CallbackInfo& info);
    Napi::Value getValueLength(const Napi::CallbackInfo& info);
    Napi::Value getData(const Napi::CallbackInfo& info);
    Napi::Value next(const Napi::CallbackInfo& info);
    Napi::Value nextResult(const Napi::CallbackInfo& info);
    Napi::Value hasNextResult(const Napi::CallbackInfo& info);
    Napi::Value getServerCPUTime(const Napi::CallbackInfo& info);
    Napi::Value getServerMemoryUsage(const Napi::CallbackInfo& info);
    Napi::Value getServerProcessingTime(const Napi::CallbackInfo& info);
    Napi::Value isNull(const Napi::CallbackInfo& info);
    Napi::Value fetchRows(const Napi::CallbackInfo& info);

    void nextWork(ErrorInfo& error, void* baton);
    Napi::Value nextAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void nextResultWork(ErrorInfo& error, void* baton);
    Napi::Value nextResultAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void getValueWork(ErrorInfo& error, void* baton);
    Napi::Value getValueAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void getValuesWork(ErrorInfo& error, void* baton);
    Napi::Value getValuesAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void getDataWork(ErrorInfo& error, void* baton);
    Napi::Value getDataAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void fetchRowsWork(ErrorInfo& error, void* baton);
    Napi::Value fetchRowsAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void closeWork(ErrorInfo& error, void* baton);
    Napi::Value closeAfter(ErrorInfo& error, void* baton, Napi::Env env);

    bool isUsable() const;
    bool checkUsable(const Napi::CallbackInfo& info, int callbackIndex);
    bool checkColumnIndex(const Napi::CallbackInfo& info, int& index, int callbackIndex);
    bool checkWorkState(ErrorInfo& error, bool connectionValid);
    Connection* owningConnection() const;
    void clearWarnings();
    void afterCommon(Napi::Env env);
    bool bindForOneRow();
    void appendBatchNames(InternalResultSetBuilder& builder) const;
    bool appendCurrentRow(InternalResultSetBuilder& builder);
    void initializeRenamedColumnNames();
    void freeRenamedColumnNames();
    const char* columnKey(int index) const;
    dbcapi_data_value boundValue(int index) const;
    Napi::Value convertValue(Napi::Env env, dbcapi_data_value& value, int index, ErrorInfo& error);
    Napi::Value doGetValueUsingBindCol(const Napi::CallbackInfo& info, int columnIndex, int callbackIndex);
    static void setMaxGetValueAsyncRecurseDepth();

    Statement* statement = nullptr;
    dbcapi_stmt* stmt = nullptr;
    int columnCount = 0;
    std::vector<dbcapi_column_info*> columnInfos;
    bool closed = false;
    bool closing = false;
    bool heldByStatement = false;  // the reference taken by _setClosing
    bool fetched = false;
    bool bound = false;
    int currentRow = 0;
    DataValueCollection boundValues;
    bool renamedInitialised = false;
    std::vector<std::string> renamedNames;

    static int _max_get_value_async_recurse_depth;
    static std::atomic<int> _get_value_async_recurse_depth;
};

#endif
