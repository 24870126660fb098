// Small lexical helpers over SQL text.
#ifndef ZKV_SQL_TEXT_H
#define ZKV_SQL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zkv {

// Function code of a statement from its leading keyword (see dbcapi.h).
int32_t classifyStatement(const char* sql, bool returnsRows);

// Length of a leading "SET SCHEMA name [;]" statement, 0 when sql is not one.
size_t parseSetSchema(const char* sql, size_t length, std::string& schema);

// True when the text holds nothing but blanks, comments and semicolons.
bool isBlankSql(const char* sql, size_t length);

}  // namespace zkv

#endif
