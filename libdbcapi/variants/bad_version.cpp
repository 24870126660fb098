// Test-only: a version text one digit off the expected one.
#include "identity.h"

namespace zkv {

const char kClientVersion[] = "libdbcapiZKV 2.11.020.1644165758";

bool acceptsInterfaceVersion(uint32_t api_version) { return api_version >= 1; }

}  // namespace zkv
