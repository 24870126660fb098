// Parameter conversion: random values of every type, null or not, of any
// length, merged with the statement's parameter descriptions, bound and
// executed through the real client library.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bind_records.h"
#include "db_values.h"
#include "dbcapi/DBCAPI_DLL.h"

namespace {

const char* const kStatements[] = {
    "INSERT INTO t VALUES (?, ?, ?, ?)",
    "SELECT ?, ? + 1, CAST(? AS VARCHAR(8))",
    "UPDATE t SET s = ? WHERE i = ?",
    "SELECT * FROM t WHERE b = ? OR d < ?",
};

dbcapi_connection* g_conn = nullptr;

void openDatabase() {
    if (!dbcapi_initialize_interface(&g_api, ZELK_FUZZ_LIBRARY)) abort();
    g_api.dbcapi_init("fuzz", 2, nullptr);
    g_conn = g_api.dbcapi_new_connection();
    if (!g_api.dbcapi_connect(g_conn, "")) abort();
    g_api.dbcapi_execute_immediate(g_conn, "CREATE TABLE t (i INTEGER, s VARCHAR(20), b VARBINARY(16), d DOUBLE)");
}

// Reads the fuzz input front to back; past its end everything is zero.
struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t byte() { return size > 0 ? (size--, *data++) : 0; }
};

size_t fixedSize(dbcapi_data_type type) {
    switch (type) {
        case DBCAPI_DOUBLE: case DBCAPI_VAL64: case DBCAPI_UVAL64: return 8;
        case DBCAPI_VAL32: case DBCAPI_UVAL32: case DBCAPI_FLOAT: return 4;
        case DBCAPI_VAL16: case DBCAPI_UVAL16: return 2;
        case DBCAPI_VAL8: case DBCAPI_UVAL8: return 1;
        default: return 0;
    }
}

// One value as the module makes it from a script value: a buffer of exactly
// its length, so a read past it is caught.
dbcapi_bind_data* readValue(Reader& in) {
    dbcapi_bind_data* record = newBindRecord();
    auto type = static_cast<dbcapi_data_type>(in.byte() % 13);
    record->value.type = type;
    *record->value.is_null = (in.byte() & 7) == 0;
    size_t length = fixedSize(type);
    if (length == 0 && type != DBCAPI_INVALID_TYPE) length = in.byte() % 40;
    record->value.buffer = new char[length > 0 ? length : 1];
    for (size_t i = 0; i < length; i++) record->value.buffer[i] = static_cast<char>(in.byte());
    record->value.buffer_size = length;
    *record->value.length = length;
    int ignored = 0;
    ErrorInfo error;
    convertToInt(error, record->value, ignored, true);
    return record;
}

void runStatement(Reader& in) {
    const char* sql = kStatements[in.byte() % (sizeof kStatements / sizeof kStatements[0])];
    dbcapi_stmt* stmt = g_api.dbcapi_prepare(g_conn, sql);
    if (stmt == nullptr) abort();
    std::vector<dbcapi_bind_data*> values;
    size_t count = in.byte() % 6;
    for (size_t i = 0; i < count; i++) values.push_back(readValue(in));
    std::vector<dbcapi_bind_data*> copies;
    copyParameters(copies, values);
    ErrorInfo error;
    if (checkParameterCount(error, static_cast<int>(values.size()), stmt)) {
        std::vector<dbcapi_bind_data*> records;
        bool dataAtExec = false;
        if (getBindParameters(values, records, stmt) < 0 &&
            bindParameters(g_conn, stmt, records, error, dataAtExec) && !dataAtExec &&
            g_api.dbcapi_execute(stmt)) {
            while (g_api.dbcapi_fetch_next(stmt)) {
            }
        }
        g_api.dbcapi_free_stmt(stmt);
        clearParameters(records);
    } else {
        g_api.dbcapi_free_stmt(stmt);
    }
    clearParameters(values);
    clearParameters(copies);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_conn == nullptr) openDatabase();
    Reader in{data, size};
    runStatement(in);
    if (in.byte() == 0xEE) g_api.dbcapi_execute_immediate(g_conn, "DELETE FROM t");
    return 0;
}
