// Test-only: dbcapi_init refuses every interface version.
#include "identity.h"

namespace zkv {

const char kClientVersion[] = "libdbcapiZKV 2.11.020.1644165757";

bool acceptsInterfaceVersion(uint32_t) { return false; }

}  // namespace zkv
