// The table of client-library entry points, filled at run time from a
// library opened with dlopen. Every database call of the module goes
// through the one process-wide instance, g_api.
#ifndef ZELK_DBCAPI_DLL_H
#define ZELK_DBCAPI_DLL_H

#include "dbcapi/dbcapi.h"

#define DBCAPI_FUNC_TYPE(kind, ret, name, params) typedef ret(*name##_func) params;
DBCAPI_ENTRY_POINTS(DBCAPI_FUNC_TYPE)
#undef DBCAPI_FUNC_TYPE

struct DBCAPIInterface {
    void* dll_handle;
    int32_t initialized;
#define DBCAPI_MEMBER(kind, ret, name, params) name##_func name;
    DBCAPI_ENTRY_POINTS(DBCAPI_MEMBER)
#undef DBCAPI_MEMBER
};

#define DEFAULT_LIBRARY_NAME "libdbcapiZKV.so"

// Returns 1 when the library is open and every required entry point is
// resolved. A library once opened is kept for the life of the process.
int dbcapi_initialize_interface(DBCAPIInterface* api, const char* path);

// Zeroes a loaded table; the library stays open.
void dbcapi_finalize_interface(DBCAPIInterface* api);

extern DBCAPIInterface g_api;

#endif
