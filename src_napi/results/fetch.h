// Whole-result fetch: every row of a statement's first result, read on the
// worker thread into either per-type vectors (columnar transport) or one
// binary buffer (fast internal rows), then turned into the JavaScript result.
#ifndef ZELK_FETCH_H
#define ZELK_FETCH_H

#include <napi.h>
#include <stdint.h>

#include <vector>

#include "binding.h"
#include "dbcapi/dbcapi.h"
#include "error_info.h"
#include "result_builder.h"

// Everything one execute collects; owned by the execute's baton.
struct ResultCollection {
    int functionCode = 0;
    std::vector<dbcapi_column_info*> columnInfos;  // owned copies
    int rowCount = -1;                              // -1 when the statement produced columns
    std::vector<char*> colNames;                    // owned, delete[]
    std::vector<dbcapi_native_type> nativeTypes;    // one per column
    std::vector<dbcapi_data_type> types;            // one per value; 0 for null
    // Length-prefixed blocks (8-byte length, bytes, NUL), owned, delete[];
    // an entry is nulled once converted.
    std::vector<char*> stringValues;
    std::vector<int> intValues;
    std::vector<int64_t> longValues;
    std::vector<uint64_t> ulongValues;
    std::vector<double> doubleValues;
    std::vector<a_date> dateValues;
    std::vector<a_time> timeValues;
    std::vector<a_timestamp> timestampValues;
    InternalResultSetBuilder builder;
    ExecuteOptions options;

    ResultCollection() = default;
    ~ResultCollection();
    ResultCollection(const ResultCollection&) = delete;
    ResultCollection& operator=(const ResultCollection&) = delete;

    // Frees the string blocks and column names and empties every vector of
    // values; the column descriptions are kept.
    void clearValues();
};

// Reads every row of stmt into result (transport chosen by
// result.options.fastInternalRows). Runs on the worker thread under the
// connection lock, after fetchColumnInfos filled result.columnInfos. On
// false, result.builder.hasFailed() tells a buffer failure (fillError) from
// a client-library failure (read from the connection). The end of the rows
// is not checked here: the caller reads the connection's error code.
bool fetchResultSet(dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result);

// The work half of an execute after dbcapi_execute: function code, column
// descriptions and every row, with the error of whichever step failed. A
// fetch that stops without any recorded cause still fails (-20008) rather
// than passing partial rows off as the whole result.
void fetchWholeResult(dbcapi_connection* conn, dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result,
                      ErrorInfo& error);

// The JavaScript result: undefined, the affected-row count, the binary
// buffer (a copy) or the array of rows. Sets error and returns undefined
// when the result cannot be built.
Napi::Value getResultSet(Napi::Env env, ResultCollection& result, ErrorInfo& error);
// The builder's buffer handed to the engine without a copy where the
// runtime allows outside memory, else copied; null (no error set) when the
// builder holds nothing, null with error set when out of memory.
napi_value transportBuffer(Napi::Env env, InternalResultSetBuilder& builder, ErrorInfo& error);
Napi::Value fillResult(Napi::Env env, ResultCollection& result, ErrorInfo& error);

#endif
