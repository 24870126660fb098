// Whole-result fetch: every row of a statement's first result, read on the
// worker thread into either per-type vectors (columnar transport) or one
// binary buffer (fast internal rows), then turned into the JavaScript result.
#ifndef ZELK_FETCH_H
#define ZELK_FETCH_H

#include <napi.h>
#include <stdint.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "binding.h"
#include "db_values.h"
#include "dbcapi/dbcapi.h"
#include "error_info.h"
#include "result_builder.h"

// The description of a result's columns. Immutable once built, so that an
// after-function can read it while a later execute of the same statement
// builds a new one.
struct ResultColumns {
    std::vector<dbcapi_column_info*> infos;  // owned copies
    std::vector<dbcapi_native_type> nativeTypes;
    std::vector<std::string> keys;        // after duplicate renaming
    std::vector<std::string> nestedKeys;  // the same with nestTables

    ResultColumns() = default;
    ~ResultColumns();
    ResultColumns(const ResultColumns&) = delete;
    ResultColumns& operator=(const ResultColumns&) = delete;

    const std::vector<std::string>& keysFor(bool nestTables) const { return nestTables ? nestedKeys : keys; }
};

// What executes of one statement handle carry from one to the next: the
// column description, while the handle still describes the same columns,
// and the buffers bound to them. Only work functions use it, under the
// connection lock.
struct FetchReuse {
    std::shared_ptr<const ResultColumns> columns;
    DataValueCollection buffers;
    std::shared_ptr<const ResultColumns> buffersFor;  // the description the buffers were sized for
    int buffersRows = 0;
};

// The FetchReuse of the texts a connection executes directly, most recent
// first. A handle prepared again from the same text mostly describes the
// same columns, and fetchWholeResult checks that it does at every use.
class FetchReuseByText {
public:
    FetchReuse& forText(const std::string& sql);

private:
    static constexpr size_t kTexts = 16;
    std::list<std::pair<std::string, FetchReuse>> entries_;
};

// An ArrayBuffer of the calling script that a small plain result may be
// copied into instead of making a Buffer; the call, or its callback, then
// gets the ArrayBuffer itself and decodes it before anything else runs. A
// call without a callback uses it while it runs (object, data, capacity);
// one with a callback holds a reference, opened on the script's thread by
// the after-function, never by the work.
struct ResultArea {
    napi_value object = nullptr;
    char* data = nullptr;
    size_t capacity = 0;
    napi_ref held = nullptr;
};

// Everything one execute collects; owned by the execute's baton.
struct ResultCollection {
    int functionCode = 0;
    std::shared_ptr<const ResultColumns> columns;  // null or empty: no columns
    int rowCount = -1;                              // -1 when the statement produced columns
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
    ResultArea into;

    ResultCollection() = default;
    ~ResultCollection();
    ResultCollection(const ResultCollection&) = delete;
    ResultCollection& operator=(const ResultCollection&) = delete;

    // Frees the string blocks and empties every vector of values; the
    // column description is kept.
    void clearValues();
    // Back to the state of a new collection.
    void reset();
    bool hasColumns() const { return columns != nullptr && !columns->infos.empty(); }
};

// Reads every row of stmt into result (transport chosen by
// result.options.fastInternalRows). Runs on the worker thread under the
// connection lock, after result.columns was set. On
// false, result.builder.hasFailed() tells a buffer failure (fillError) from
// a client-library failure (read from the connection). The end of the rows
// is not checked here: the caller reads the connection's error code.
bool fetchResultSet(dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result, FetchReuse& reuse);

// The work half of an execute after dbcapi_execute: function code, column
// descriptions and every row, with the error of whichever step failed. A
// fetch that stops without any recorded cause still fails (-20008) rather
// than passing partial rows off as the whole result. With reuse, the
// description and buffers of the handle's previous execute serve again
// while its columns are described the same.
void fetchWholeResult(dbcapi_connection* conn, dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result,
                      ErrorInfo& error, FetchReuse* reuse = nullptr);

// The JavaScript result: undefined, the affected-row count, the binary
// buffer (a copy; or result.into once copied there) or the array of rows. Sets error and returns undefined
// when the result cannot be built.
Napi::Value getResultSet(Napi::Env env, ResultCollection& result, ErrorInfo& error);
// The builder's buffer handed to the engine without a copy where the
// runtime allows outside memory, else copied; null (no error set) when the
// builder holds nothing, null with error set when out of memory.
napi_value transportBuffer(Napi::Env env, InternalResultSetBuilder& builder, ErrorInfo& error);
Napi::Value fillResult(Napi::Env env, ResultCollection& result, ErrorInfo& error);
// The area of the optional argument at index: an ArrayBuffer, else none.
ResultArea resultAreaArgument(const Napi::CallbackInfo& info, size_t index, int callbackIndex);
// Drops the area and the reference it holds; after-functions call it on
// every path.
void releaseResultArea(Napi::Env env, ResultArea& area);

#endif
