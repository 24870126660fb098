// Exported entry points keep default visibility; everything else in the
// library is hidden by the build.
#ifndef ZKV_EXPORT_H
#define ZKV_EXPORT_H

#include "dbcapi/dbcapi.h"

#define DBCAPI_EXPORT extern "C" __attribute__((visibility("default")))

#endif
