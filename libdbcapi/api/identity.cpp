#include "identity.h"

namespace zkv {

const char kClientVersion[] = "libdbcapiZKV 2.11.020.1644165757";

bool acceptsInterfaceVersion(uint32_t api_version) { return api_version >= 1; }

}  // namespace zkv
