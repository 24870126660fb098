#include "db_values.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "dbcapi/DBCAPI_DLL.h"
#include "value_rules.h"

const char* getTypeName(dbcapi_data_type type) {
    switch (type) {
        case DBCAPI_INVALID_TYPE: return "INVALID_TYPE";
        case DBCAPI_BINARY: return "BINARY";
        case DBCAPI_STRING: return "STRING";
        case DBCAPI_DOUBLE: return "DOUBLE";
        case DBCAPI_VAL64: return "VAL64";
        case DBCAPI_UVAL64: return "UVAL64";
        case DBCAPI_VAL32: return "VAL32";
        case DBCAPI_UVAL32: return "UVAL32";
        case DBCAPI_VAL16: return "VAL16";
        case DBCAPI_UVAL16: return "UVAL16";
        case DBCAPI_VAL8: return "VAL8";
        case DBCAPI_UVAL8: return "UVAL8";
        case DBCAPI_FLOAT: return "FLOAT";
        default: return "UNKNOWN";
    }
}

namespace {

struct NativeTypeName {
    int code;
    const char* name;
};

const NativeTypeName kNativeTypeNames[] = {
    {0, "NULL"},          {1, "TINYINT"},        {2, "SMALLINT"},
    {3, "INT"},           {4, "BIGINT"},         {5, "DECIMAL"},
    {6, "REAL"},          {7, "DOUBLE"},         {8, "CHAR"},
    {9, "VARCHAR1"},      {10, "NCHAR"},         {11, "NVARCHAR"},
    {12, "BINARY"},       {13, "VARBINARY"},     {14, "DATE"},
    {15, "TIME"},         {16, "TIMESTAMP"},     {17, "TIME_TZ"},
    {18, "TIME_LTZ"},     {19, "TIMESTAMP_TZ"},  {20, "TIMESTAMP_LTZ"},
    {21, "INTERVAL_YM"},  {22, "INTERVAL_DS"},   {23, "ROWID"},
    {24, "UROWID"},       {25, "CLOB"},          {26, "NCLOB"},
    {27, "BLOB"},         {28, "BOOLEAN"},       {29, "STRING"},
    {30, "NSTRING"},      {31, "LOCATOR"},       {32, "NLOCATOR"},
    {33, "BSTRING"},      {34, "DECIMAL_DIGIT_ARRAY"}, {35, "VARCHAR2"},
    {45, "TABLE"},        {48, "QRILSTREAM"},    {49, "QRILSTRUCT"},
    {50, "ARRAY"},        {51, "TEXT"},          {52, "SHORTTEXT"},
    {53, "BINTEXT"},      {55, "ALPHANUM"},      {61, "LONGDATE"},
    {62, "SECONDDATE"},   {63, "DAYDATE"},       {64, "SECONDTIME"},
    {70, "CLOCATOR"},     {71, "BLOB_DISK_RESERVED"}, {72, "CLOB_DISK_RESERVED"},
    {73, "NCLOB_DISK_RESERVE"}, {74, "ST_GEOMETRY"}, {75, "ST_POINT"},
    {76, "FIXED16"},      {77, "QRIL_ITAB"},     {78, "RECORD_ROW_STORE"},
    {79, "RECORD_COLUMN_STORE"}, {255, "NOTYPE"},
};

}  // namespace

const char* getNativeTypeName(dbcapi_native_type type) {
    for (const NativeTypeName& entry : kNativeTypeNames) {
        if (entry.code == static_cast<int>(type)) {
            return entry.name;
        }
    }
    return "UNKNOWN";
}

char* copyString(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    return copy;
}

namespace {

// The bytes of a value: its stored length, never more than its buffer holds.
size_t valueLength(const dbcapi_data_value& value) {
    size_t length = value.length != nullptr ? *value.length : strlen(value.buffer);
    if (value.buffer_size > 0 && length > value.buffer_size) {
        length = value.buffer_size;
    }
    return length;
}

bool parseStringInt(const dbcapi_data_value& value, int& out) {
    if (value.buffer == nullptr) {
        out = 0;
        return true;
    }
    size_t length = valueLength(value);
    char* text = new (std::nothrow) char[length + 1];
    if (text == nullptr) {
        return false;
    }
    memcpy(text, value.buffer, length);
    text[length] = '\0';
    out = static_cast<int>(strtol(text, nullptr, 10));
    delete[] text;
    return true;
}

bool readSmallInt(const dbcapi_data_value& value, int& out) {
    if (value.type == DBCAPI_STRING) {
        return parseStringInt(value, out);
    }
    if (value.buffer == nullptr) {
        return false;
    }
    DbNumber number = readNumber(value.type, value.buffer);
    if (number.kind != NK_SMALL) {
        return false;
    }
    out = number.small;
    return true;
}

}  // namespace

bool convertToInt(ErrorInfo& error, dbcapi_data_value& value, int& out, bool reportError) {
    if (readSmallInt(value, out)) {
        return true;
    }
    if (reportError) {
        getErrorMsg(JS_ERR_INVALID_TYPE_CONVERSION, error);
    }
    return false;
}

DataValueCollection::~DataValueCollection() { clear(); }

void DataValueCollection::clear() {
    for (dbcapi_data_value* value : values_) {
        delete[] value->is_null;
        delete[] value->length;
        delete[] value->buffer;
        delete value;
    }
    values_.clear();
}

namespace {

// Texts are nulled before copying, so that a failing copy leaves the record
// holding only texts it owns.
void adoptColumnInfo(dbcapi_column_info* info, const dbcapi_column_info& source) {
    *info = source;
    info->name = info->column_name = info->table_name = info->owner_name = nullptr;
    info->name = copyString(source.name);
    info->column_name = copyString(source.column_name);
    info->table_name = copyString(source.table_name);
    info->owner_name = copyString(source.owner_name);
}

}  // namespace

int fetchColumnInfos(dbcapi_stmt* stmt, std::vector<dbcapi_column_info*>& columnInfos) {
    freeColumnInfos(columnInfos);
    int count = g_api.dbcapi_num_cols(stmt);
    if (count < 1) {
        return count;
    }
    columnInfos.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        dbcapi_column_info described = {};
        g_api.dbcapi_get_column_info(stmt, static_cast<uint32_t>(i), &described);
        dbcapi_column_info* info = new dbcapi_column_info();
        columnInfos.push_back(info);
        adoptColumnInfo(info, described);
    }
    return count;
}

int copyColumnInfos(std::vector<dbcapi_column_info*>& dest, const std::vector<dbcapi_column_info*>& source) {
    freeColumnInfos(dest);
    dest.reserve(source.size());
    for (const dbcapi_column_info* original : source) {
        dbcapi_column_info* info = new dbcapi_column_info();
        dest.push_back(info);
        adoptColumnInfo(info, *original);
    }
    return static_cast<int>(dest.size());
}

void freeColumnInfos(std::vector<dbcapi_column_info*>& columnInfos) {
    for (dbcapi_column_info* info : columnInfos) {
        delete[] info->name;
        delete[] info->column_name;
        delete[] info->table_name;
        delete[] info->owner_name;
        delete info;
    }
    columnInfos.clear();
}

bool anyLobsInColInfo(const std::vector<dbcapi_column_info*>& columnInfos) {
    for (const dbcapi_column_info* info : columnInfos) {
        // VARBINARY has no length bound either, so it cannot take a row
        // slot; unlike a large object it arrives whole, never by getData.
        if (isLargeObjectType(info->native_type) || info->native_type == DBCAPI_NATIVE_VARBINARY) {
            return true;
        }
    }
    return false;
}

size_t columnSlotSize(const dbcapi_column_info& info) {
    switch (info.native_type) {
        case DBCAPI_NATIVE_DECIMAL:
            return 128;
        case DBCAPI_NATIVE_CHAR:
        case DBCAPI_NATIVE_VARCHAR1:
        case DBCAPI_NATIVE_NCHAR:
        case DBCAPI_NATIVE_NVARCHAR:
        case DBCAPI_NATIVE_VARCHAR2:
            // Characters may take up to 4 bytes in UTF-8, plus the terminator.
            return info.max_size != 0 ? 4 * info.max_size + 1 : 20001;
        default:
            return info.max_size;
    }
}

bool allocateAndBindColumns(dbcapi_stmt* stmt, int rowSetSize, const std::vector<dbcapi_column_info*>& columnInfos,
                            DataValueCollection& values) {
    uint32_t rows = rowSetSize > 0 ? static_cast<uint32_t>(rowSetSize) : 0;
    values.clear();
    if (columnInfos.empty()) {
        return g_api.dbcapi_set_rowset_size(stmt, rows) != 0;
    }
    values.reserve(columnInfos.size());
    for (const dbcapi_column_info* info : columnInfos) {
        // Owned by the collection before its arrays exist, so a failing
        // allocation leaves nothing unowned.
        dbcapi_data_value* value = new dbcapi_data_value();
        values.push_back(value);
        size_t slot = columnSlotSize(*info);
        value->buffer = new char[slot * rows];
        value->length = new size_t[rows];
        value->is_null = new dbcapi_bool[rows];
        value->buffer_size = slot;
        value->type = info->type;
    }
    return bindColumnBuffers(stmt, rowSetSize, values);
}

bool bindColumnBuffers(dbcapi_stmt* stmt, int rowSetSize, const DataValueCollection& values) {
    uint32_t rows = rowSetSize > 0 ? static_cast<uint32_t>(rowSetSize) : 0;
    if (!g_api.dbcapi_set_rowset_size(stmt, rows)) {
        return false;
    }
    for (size_t i = 0; i < values.size(); i++) {
        if (!g_api.dbcapi_bind_column(stmt, static_cast<uint32_t>(i), values[i])) {
            return false;
        }
    }
    return true;
}
