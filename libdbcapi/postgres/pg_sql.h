// SQL text for the server backend: the first statement of a text, with
// the markers ?, :name and $n rewritten to the server's $n, and the shape
// of a CALL statement for its output parameters.
#ifndef ZKV_PG_SQL_H
#define ZKV_PG_SQL_H

#include <cstddef>
#include <string>
#include <vector>

namespace zkv {

// Where a marker "$n" stands in the rewritten text.
struct PgMarker {
    size_t offset = 0;
    size_t length = 0;
    size_t number = 0;  // n, from 1
};

struct PgStatementText {
    std::string sql;                      // the statement, markers as $n, without its ";"
    std::vector<PgMarker> markers;
    size_t consumed = 0;                  // bytes of the input used, ";" included
    std::vector<std::string> paramNames;  // per parameter: ":name", or "" for ? and $n
    bool blank = true;                    // only blanks and comments
    // CALL name(arg, ...): the procedure name as written and, per argument,
    // the parameter index when the argument is one marker, else -1, and
    // the argument's name when it is written "name => value" (else "").
    bool isCall = false;
    std::string callName;
    std::vector<int> callArguments;
    std::vector<std::string> callArgumentNames;
    // COPY ... FROM STDIN or COPY ... TO STDOUT: data streamed through the
    // client in the COPY sub-protocol.
    bool copiesThroughClient = false;
};

PgStatementText splitPgStatement(const char* sql, size_t length);

// The statement with marker n written as replacements[n - 1]; replacements
// holds one text per parameter.
std::string replaceMarkers(const PgStatementText& text, const std::vector<std::string>& replacements);

}  // namespace zkv

#endif
