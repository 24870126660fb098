#include "statement_cache.h"

namespace zkv {

bool StatementCache::take(std::string_view key, uint64_t generation, CachedStatement& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end()) return false;
    List::iterator node = found->second;
    bool current = node->entry.generation == generation;
    if (current) out = node->entry;
    else sqlite3_finalize(node->entry.stmt);
    index_.erase(found);
    lru_.erase(node);
    return current;
}

void StatementCache::put(std::string key, const CachedStatement& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ == 0 || index_.count(key)) {
        sqlite3_finalize(entry.stmt);
        return;
    }
    lru_.push_front(Node{std::move(key), entry});
    index_.emplace(lru_.front().key, lru_.begin());
    if (lru_.size() > capacity_) evict(std::prev(lru_.end()));
}

void StatementCache::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Node& node : lru_) sqlite3_finalize(node.entry.stmt);
    index_.clear();
    lru_.clear();
}

void StatementCache::evict(List::iterator node) {
    sqlite3_finalize(node->entry.stmt);
    index_.erase(node->key);
    lru_.erase(node);
}

}  // namespace zkv
