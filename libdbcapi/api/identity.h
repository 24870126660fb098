// What the library says about itself. The test-only variants link their
// own definitions of these in place of identity.cpp.
#ifndef ZKV_IDENTITY_H
#define ZKV_IDENTITY_H

#include <cstdint>

namespace zkv {

extern const char kClientVersion[];
bool acceptsInterfaceVersion(uint32_t api_version);

}  // namespace zkv

#endif
