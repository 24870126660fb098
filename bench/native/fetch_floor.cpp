// The floor under every driver: the million rows of the bench table read
// with the SQLite C interface alone, and through our client library's bound
// fetch with the row sets the module uses. Each value is touched the way a
// driver must touch it (numbers read, text bytes copied), so the two differ
// only by the layer in between.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbcapi/dbcapi.h"

namespace {

const char* kSelect = "SELECT id, big, dbl, name, maybe, ts FROM bench";

std::string databaseFile() {
    const char* file = std::getenv("ZELK_BENCH_DB");
    return file != nullptr ? file : ZELK_BENCH_DEFAULT_DB;
}

// Sums lengths and numbers so the compiler cannot drop the reads.
struct Sink {
    std::vector<char> text = std::vector<char>(4096);
    double numbers = 0;
    size_t bytes = 0;
    void addText(const char* data, size_t length) {
        std::memcpy(text.data(), data, length < text.size() ? length : text.size());
        bytes += length;
    }
};

void BM_SqliteFloor(benchmark::State& state) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(databaseFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("cannot open the bench database (run npm run bench once)");
        sqlite3_close(db);
        return;
    }
    int64_t rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, kSelect, -1, &stmt, nullptr);
        Sink sink;
        rows = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int c = 0; c < 6; c++) {
                switch (sqlite3_column_type(stmt, c)) {
                    case SQLITE_INTEGER: sink.numbers += static_cast<double>(sqlite3_column_int64(stmt, c)); break;
                    case SQLITE_FLOAT: sink.numbers += sqlite3_column_double(stmt, c); break;
                    case SQLITE_TEXT:
                        sink.addText(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                     static_cast<size_t>(sqlite3_column_bytes(stmt, c)));
                        break;
                    default: break;
                }
            }
            rows++;
        }
        sqlite3_finalize(stmt);
        benchmark::DoNotOptimize(sink.numbers);
        benchmark::DoNotOptimize(sink.bytes);
    }
    state.counters["rows"] = static_cast<double>(rows);
    sqlite3_close(db);
}

struct BoundColumn {
    std::vector<char> data;
    std::vector<size_t> length;
    std::vector<dbcapi_bool> isNull;
    dbcapi_data_value value{};
    BoundColumn(dbcapi_data_type type, size_t slot, uint32_t rows) : data(slot * rows), length(rows), isNull(rows) {
        value.buffer = data.data();
        value.buffer_size = slot;
        value.length = length.data();
        value.is_null = isNull.data();
        value.type = type;
    }
};

// Slot sizes as the module chooses them: VARCHAR(n) takes 4n + 1 bytes.
size_t slotSize(const dbcapi_column_info& info) {
    if (info.type == DBCAPI_STRING && info.native_type == DBCAPI_NATIVE_VARCHAR1) return 4 * info.max_size + 1;
    return info.max_size;
}

int64_t readBound(dbcapi_stmt* stmt, uint32_t rowSet, Sink& sink) {
    std::vector<BoundColumn> columns;
    columns.reserve(6);
    dbcapi_set_rowset_size(stmt, rowSet);
    for (uint32_t c = 0; c < 6; c++) {
        dbcapi_column_info info{};
        dbcapi_get_column_info(stmt, c, &info);
        columns.emplace_back(info.type, slotSize(info), rowSet);
        dbcapi_bind_column(stmt, c, &columns.back().value);
    }
    int64_t rows = 0;
    while (dbcapi_fetch_next(stmt)) {
        int32_t fetched = dbcapi_fetched_rows(stmt);
        for (int32_t r = 0; r < fetched; r++) {
            for (BoundColumn& column : columns) {
                if (column.isNull[r]) continue;
                const char* slot = column.data.data() + r * column.value.buffer_size;
                if (column.value.type == DBCAPI_STRING) {
                    sink.addText(slot, column.length[r]);
                } else if (column.value.type == DBCAPI_DOUBLE) {
                    double d;
                    std::memcpy(&d, slot, 8);
                    sink.numbers += d;
                } else {
                    int64_t i;
                    std::memcpy(&i, slot, 8);
                    sink.numbers += static_cast<double>(i);
                }
            }
        }
        rows += fetched;
    }
    dbcapi_clear_column_bindings(stmt);
    return rows;
}

void BM_DbcapiBoundFetch(benchmark::State& state) {
    dbcapi_connection* conn = dbcapi_new_connection();
    std::string connect = "databaseName=" + databaseFile();
    if (!dbcapi_connect(conn, connect.c_str())) {
        state.SkipWithError("cannot connect to the bench database (run npm run bench once)");
        dbcapi_free_connection(conn);
        return;
    }
    int64_t rows = 0;
    for (auto _ : state) {
        dbcapi_stmt* stmt = dbcapi_execute_direct(conn, kSelect);
        Sink sink;
        rows = readBound(stmt, static_cast<uint32_t>(state.range(0)), sink);
        dbcapi_free_stmt(stmt);
        benchmark::DoNotOptimize(sink.numbers);
        benchmark::DoNotOptimize(sink.bytes);
    }
    state.counters["rows"] = static_cast<double>(rows);
    dbcapi_disconnect(conn);
    dbcapi_free_connection(conn);
}

}  // namespace

BENCHMARK(BM_SqliteFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DbcapiBoundFetch)->Arg(1)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
