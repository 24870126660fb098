#include "dbcapi/DBCAPI_DLL.h"

#include <dlfcn.h>
#include <stddef.h>
#include <string.h>

DBCAPIInterface g_api = {};

namespace {

enum EntryKind { REQUIRED, OPTIONAL, UNFILLED };

struct EntryPoint {
    const char* name;
    EntryKind kind;
    size_t offset;  // of the member in DBCAPIInterface
};

#define DBCAPI_ENTRY(kind, ret, name, params) {#name, kind, offsetof(DBCAPIInterface, name)},
const EntryPoint kEntryPoints[] = {DBCAPI_ENTRY_POINTS(DBCAPI_ENTRY)};
#undef DBCAPI_ENTRY

// Kept once opened; later loads reuse it whatever path they name.
void* s_library = nullptr;

void* openLibrary(const char* path) {
    if (s_library != nullptr) {
        return s_library;
    }
    void* handle = path != nullptr ? dlopen(path, RTLD_LAZY) : nullptr;
    if (handle == nullptr) {
        handle = dlopen(DEFAULT_LIBRARY_NAME, RTLD_LAZY);
    }
    s_library = handle;
    return handle;
}

}  // namespace

int dbcapi_initialize_interface(DBCAPIInterface* api, const char* path) {
    memset(api, 0, sizeof(*api));
    api->dll_handle = openLibrary(path);
    if (api->dll_handle == nullptr) {
        return 0;
    }
    for (const EntryPoint& entry : kEntryPoints) {
        if (entry.kind == UNFILLED) {
            continue;
        }
        void* address = dlsym(api->dll_handle, entry.name);
        if (address == nullptr && entry.kind == REQUIRED) {
            return 0;
        }
        memcpy(reinterpret_cast<char*>(api) + entry.offset, &address, sizeof(address));
    }
    api->initialized = 1;
    return 1;
}

void dbcapi_finalize_interface(DBCAPIInterface* api) {
    if (api->initialized) {
        memset(api, 0, sizeof(*api));
    }
}
