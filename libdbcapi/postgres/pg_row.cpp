// Values of a server row in text form, decoded on demand.
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "pg_backend.h"
#include "pg_types.h"

namespace zkv {

void PgRow::reset(PGresult* result) {
    if (result_) libpq().PQclear(result_);
    result_ = result;
    columnMap_ = nullptr;
    decoded_.assign(result ? static_cast<size_t>(libpq().PQnfields(result)) : 0, 0);
    bytes_.resize(decoded_.size());
}

void PgRow::adopt(PgRow& other, const std::vector<int>* columnMap) {
    reset(other.result_);
    other.result_ = nullptr;
    other.reset(nullptr);
    columnMap_ = columnMap;
}

int PgRow::column(int index) const {
    if (!columnMap_) return index;
    if (index < 0 || static_cast<size_t>(index) >= columnMap_->size()) return -1;
    return (*columnMap_)[static_cast<size_t>(index)];
}

ValueKind PgRow::kind(int index) const {
    int col = column(index);
    if (!result_ || col < 0 || col >= libpq().PQnfields(result_) || libpq().PQgetisnull(result_, 0, col)) return ValueKind::Null;
    return pgValueKind(libpq().PQftype(result_, col));
}

// from_chars rather than strtoll and strtod: no locale, a third of the
// instructions per value.
int64_t PgRow::int64At(int index) const {
    int col = column(index);
    const char* text = libpq().PQgetvalue(result_, 0, col);
    if (text[0] == 't') return 1;
    if (text[0] == 'f') return 0;
    int64_t value = 0;
    std::from_chars(text, text + libpq().PQgetlength(result_, 0, col), value);
    return value;
}

double PgRow::doubleAt(int index) const {
    int col = column(index);
    const char* text = libpq().PQgetvalue(result_, 0, col);
    double value = 0;
    std::from_chars(text, text + libpq().PQgetlength(result_, 0, col), value);
    return value;
}

// bytea arrives as hex text: both forms hand out the decoded bytes.
const char* PgRow::textAt(int index, size_t& length) const {
    int col = column(index);
    if (pgValueKind(libpq().PQftype(result_, col)) == ValueKind::Blob) {
        const void* data = blobAt(index, length);
        return static_cast<const char*>(data);
    }
    length = static_cast<size_t>(libpq().PQgetlength(result_, 0, col));
    return libpq().PQgetvalue(result_, 0, col);
}

const void* PgRow::blobAt(int index, size_t& length) const {
    int col = column(index);
    const char* text = libpq().PQgetvalue(result_, 0, col);
    size_t textLength = static_cast<size_t>(libpq().PQgetlength(result_, 0, col));
    if (pgValueKind(libpq().PQftype(result_, col)) != ValueKind::Blob) {
        length = textLength;
        return text;
    }
    std::string& bytes = bytes_[static_cast<size_t>(col)];
    if (!decoded_[static_cast<size_t>(col)]) {
        decodeBytea(text, textLength, bytes);
        decoded_[static_cast<size_t>(col)] = 1;
    }
    length = bytes.size();
    return bytes.data();
}

int64_t PgRow::memory() const { return result_ ? static_cast<int64_t>(libpq().PQresultMemorySize(result_)) : 0; }

}  // namespace zkv
