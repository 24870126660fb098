// Idle prepared statements of one SQLite connection, keyed by the SQL text
// they were prepared from. A statement in use is never in the cache, so two
// live cursors of one text never share a sqlite3_stmt. Safe to use from any
// thread: one mutex guards the whole cache.
#ifndef ZKV_STATEMENT_CACHE_H
#define ZKV_STATEMENT_CACHE_H

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "backend.h"

namespace zkv {

struct CachedStatement {
    sqlite3_stmt* stmt = nullptr;
    size_t consumed = 0;      // bytes of the key the statement covers
    uint64_t generation = 0;  // the connection's schema generation when cached
    int32_t functionCode = -1;  // -1: not classified yet
    std::shared_ptr<const ColumnMemo> columns;
    int columnsPrepareCount = 0;  // SQLITE_STMTSTATUS_REPREPARE when columns was kept
};

class StatementCache {
public:
    explicit StatementCache(size_t capacity) : capacity_(capacity) {}
    ~StatementCache() { clear(); }
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    size_t capacity() const { return capacity_; }
    // Removes and returns the idle statement of key. One cached under an
    // older schema generation is finalized instead: its text may no longer
    // prepare, or prepare to other columns.
    bool take(std::string_view key, uint64_t generation, CachedStatement& out);
    // Keeps a statement that is reset and has no bindings; finalizes it when
    // its text is already cached, and the least recently used past capacity.
    void put(std::string key, const CachedStatement& entry);
    void clear();

private:
    struct Node {
        std::string key;
        CachedStatement entry;
    };
    using List = std::list<Node>;  // most recently put first

    void evict(List::iterator node);

    std::mutex mutex_;
    const size_t capacity_;
    List lru_;
    // Views into the keys of lru_'s nodes, which never move.
    std::unordered_map<std::string_view, List::iterator> index_;
};

}  // namespace zkv

#endif
