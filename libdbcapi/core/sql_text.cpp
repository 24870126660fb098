#include "sql_text.h"

#include <cctype>
#include <cstring>

#include "dbcapi/dbcapi.h"

namespace zkv {
namespace {

size_t skipBlanks(const char* sql, size_t length, size_t pos) {
    while (pos < length) {
        unsigned char c = static_cast<unsigned char>(sql[pos]);
        if (std::isspace(c)) {
            ++pos;
        } else if (c == '-' && pos + 1 < length && sql[pos + 1] == '-') {
            while (pos < length && sql[pos] != '\n') ++pos;
        } else if (c == '/' && pos + 1 < length && sql[pos + 1] == '*') {
            const char* end = static_cast<const char*>(memmem(sql + pos + 2, length - pos - 2, "*/", 2));
            pos = end ? static_cast<size_t>(end - sql) + 2 : length;
        } else {
            break;
        }
    }
    return pos;
}

std::string keywordAt(const char* sql, size_t length, size_t& pos) {
    std::string word;
    while (pos < length && (std::isalpha(static_cast<unsigned char>(sql[pos])) || sql[pos] == '_'))
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[pos++])));
    return word;
}

bool isIdentifierChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

}  // namespace

int32_t classifyStatement(const char* sql, bool returnsRows) {
    size_t length = std::strlen(sql);
    size_t pos = skipBlanks(sql, length, 0);
    std::string word = keywordAt(sql, length, pos);
    if (word == "CREATE" || word == "DROP" || word == "ALTER") return DBCAPI_FUNCTION_DDL;
    if (word == "INSERT" || word == "REPLACE") return DBCAPI_FUNCTION_INSERT;
    if (word == "UPDATE") return DBCAPI_FUNCTION_UPDATE;
    if (word == "DELETE") return DBCAPI_FUNCTION_DELETE;
    if (word == "SELECT" || word == "VALUES" || word == "WITH") return returnsRows ? DBCAPI_FUNCTION_SELECT : DBCAPI_FUNCTION_OTHER;
    if (word == "BEGIN" || word == "COMMIT" || word == "END" || word == "ROLLBACK" || word == "SAVEPOINT" ||
        word == "RELEASE")
        return DBCAPI_FUNCTION_TRANSACTION;
    if (word == "SET" || word == "PRAGMA") return DBCAPI_FUNCTION_SESSION;
    return returnsRows ? DBCAPI_FUNCTION_SELECT : DBCAPI_FUNCTION_OTHER;
}

size_t parseSetSchema(const char* sql, size_t length, std::string& schema) {
    size_t pos = skipBlanks(sql, length, 0);
    if (keywordAt(sql, length, pos) != "SET") return 0;
    pos = skipBlanks(sql, length, pos);
    if (keywordAt(sql, length, pos) != "SCHEMA") return 0;
    pos = skipBlanks(sql, length, pos);
    schema.clear();
    if (pos < length && (sql[pos] == '"' || sql[pos] == '`' || sql[pos] == '[')) {
        char close = sql[pos] == '[' ? ']' : sql[pos];
        for (++pos; pos < length && sql[pos] != close; ++pos) schema += sql[pos];
        if (pos >= length) return 0;
        ++pos;
    } else {
        while (pos < length && isIdentifierChar(sql[pos])) schema += sql[pos++];
    }
    if (schema.empty()) return 0;
    pos = skipBlanks(sql, length, pos);
    if (pos < length && sql[pos] == ';') return pos + 1;
    return pos == length ? pos : 0;
}

bool isBlankSql(const char* sql, size_t length) {
    size_t pos = 0;
    while (true) {
        pos = skipBlanks(sql, length, pos);
        if (pos < length && sql[pos] == ';') {
            ++pos;
            continue;
        }
        return pos >= length;
    }
}

}  // namespace zkv
