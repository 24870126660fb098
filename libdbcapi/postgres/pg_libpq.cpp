#include "pg_libpq.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace zkv {
namespace {

// The soname of every libpq since 8.x; _ZKV_LIBPQ_PATH lets tests name a
// file that does not exist to see the missing-library error.
const char* libraryName() {
    const char* path = std::getenv("_ZKV_LIBPQ_PATH");
    return path && *path ? path : "libpq.so.5";
}

struct Loaded {
    LibPq table;
    std::string error;
};

std::string resolve(void* handle, LibPq& table) {
#define ZKV_LIBPQ_RESOLVE(name)                                                  \
    table.name = reinterpret_cast<decltype(table.name)>(dlsym(handle, #name)); \
    if (!table.name) return #name;
    ZKV_LIBPQ_FUNCTIONS(ZKV_LIBPQ_RESOLVE)
#undef ZKV_LIBPQ_RESOLVE
    return "";
}

Loaded load() {
    Loaded loaded;
    const char* name = libraryName();
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        loaded.error = std::string("The PostgreSQL client library ") + name +
                       " could not be loaded (" + (reason ? reason : "unknown reason") +
                       "); install libpq (Debian and Ubuntu: libpq5) to connect to a server";
        return loaded;
    }
    std::string missing = resolve(handle, loaded.table);
    if (!missing.empty()) {
        loaded.error = std::string("The PostgreSQL client library ") + name + " lacks " + missing +
                       "; libpq 14 or later is needed to connect to a server";
    }
    return loaded;
}

const Loaded& loaded() {
    static const Loaded once = load();
    return once;
}

}  // namespace

std::atomic<const LibPq*> loadedLibPq{nullptr};

bool loadLibPq(std::string& error) {
    error = loaded().error;
    if (error.empty()) loadedLibPq.store(&loaded().table, std::memory_order_release);
    return error.empty();
}

}  // namespace zkv
