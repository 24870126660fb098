// Server column and parameter types mapped onto the library's types, and
// the decoding of the server's text form of a value.
#ifndef ZKV_PG_TYPES_H
#define ZKV_PG_TYPES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "backend.h"

namespace zkv {

using PgOid = unsigned int;

ExactType pgColumnType(PgOid type, int typmod);
// Parameters have no length; long texts are described as large objects,
// which callers read in pieces.
ExactType pgParamType(PgOid type);
// How a value of the type is handed out: integers, reals, blobs or text.
ValueKind pgValueKind(PgOid type);
// Decodes bytea in hex ("\x...") or escape form.
bool decodeBytea(const char* text, size_t length, std::string& out);

}  // namespace zkv

#endif
