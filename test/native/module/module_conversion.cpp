// Type names, column-description copies, fetch buffers and parameter
// records, against a scripted entry-point table.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "bind_records.h"
#include "db_values.h"
#include "dbcapi/DBCAPI_DLL.h"

namespace {

// What the scripted library reports. Parameter i is described with
// g_params[i]; column i with g_columns[i].
struct FakeParam {
    dbcapi_data_direction direction;
    dbcapi_data_type type;
    dbcapi_native_type nativeType;
    size_t maxSize;
};
std::vector<FakeParam> g_params;
std::vector<dbcapi_column_info> g_columns;
int g_rowsetResult = 1;
int g_failBindColumnAt = -1;
int g_failBindParamAt = -1;
uint32_t g_rowsetSize = 0;
std::vector<dbcapi_data_value*> g_boundColumns;
std::vector<dbcapi_bind_data> g_boundParams;

void useScriptedLibrary() {
    memset(&g_api, 0, sizeof(g_api));
    g_params.clear();
    g_columns.clear();
    g_rowsetResult = 1;
    g_failBindColumnAt = g_failBindParamAt = -1;
    g_boundColumns.clear();
    g_boundParams.clear();
    g_api.dbcapi_num_cols = [](dbcapi_stmt*) { return static_cast<int32_t>(g_columns.size()); };
    g_api.dbcapi_get_column_info = [](dbcapi_stmt*, uint32_t i, dbcapi_column_info* info) {
        *info = g_columns[i];
        return 1;
    };
    g_api.dbcapi_set_rowset_size = [](dbcapi_stmt*, uint32_t rows) {
        g_rowsetSize = rows;
        return g_rowsetResult;
    };
    g_api.dbcapi_bind_column = [](dbcapi_stmt*, uint32_t i, dbcapi_data_value* value) {
        g_boundColumns.push_back(value);
        return static_cast<int>(i) == g_failBindColumnAt ? 0 : 1;
    };
    g_api.dbcapi_num_params = [](dbcapi_stmt*) { return static_cast<int32_t>(g_params.size()); };
    g_api.dbcapi_describe_bind_param = [](dbcapi_stmt*, uint32_t i, dbcapi_bind_data* param) {
        param->direction = g_params[i].direction;
        param->value.type = g_params[i].type;
        param->name = "p";
        return 1;
    };
    g_api.dbcapi_get_bind_param_info = [](dbcapi_stmt*, uint32_t i, dbcapi_bind_param_info* info) {
        info->direction = g_params[i].direction;
        info->native_type = g_params[i].nativeType;
        info->max_size = g_params[i].maxSize;
        return 1;
    };
    g_api.dbcapi_bind_param = [](dbcapi_stmt*, uint32_t i, dbcapi_bind_data* param) {
        g_boundParams.push_back(*param);
        return static_cast<int>(i) == g_failBindParamAt ? 0 : 1;
    };
    // The library refuses without leaving an error text.
    g_api.dbcapi_error_length = [](dbcapi_connection*) { return static_cast<size_t>(0); };
}

dbcapi_bind_data* textRecord(const char* text) {
    dbcapi_bind_data* record = newBindRecord();
    size_t length = strlen(text);
    record->value.type = DBCAPI_STRING;
    record->value.buffer = new char[length + 1];
    memcpy(record->value.buffer, text, length + 1);
    record->value.buffer_size = length + 1;
    *record->value.length = length;
    return record;
}

class Scripted : public ::testing::Test {
protected:
    void SetUp() override { useScriptedLibrary(); }
    void TearDown() override { memset(&g_api, 0, sizeof(g_api)); }
};

}  // namespace

TEST(TypeNames, CodesAndUnknowns) {
    const std::pair<int, const char*> types[] = {
        {DBCAPI_INVALID_TYPE, "INVALID_TYPE"}, {DBCAPI_UVAL8, "UVAL8"}, {DBCAPI_FLOAT, "FLOAT"}, {13, "UNKNOWN"}};
    for (const auto& [code, name] : types) EXPECT_STREQ(name, getTypeName(static_cast<dbcapi_data_type>(code)));
    const std::pair<int, const char*> nativeTypes[] = {{DBCAPI_NATIVE_NULL, "NULL"},
        {DBCAPI_NATIVE_DECIMAL_DIGIT_ARRAY, "DECIMAL_DIGIT_ARRAY"}, {DBCAPI_NATIVE_NCLOB_DISK_RESERVE, "NCLOB_DISK_RESERVE"},
        {DBCAPI_NATIVE_NOTYPE, "NOTYPE"}, {54, "UNKNOWN"}, {36, "UNKNOWN"}};
    for (const auto& [code, name] : nativeTypes)
        EXPECT_STREQ(name, getNativeTypeName(static_cast<dbcapi_native_type>(code))) << code;
}

TEST_F(Scripted, ColumnInfosOutliveTheLibraryTexts) {
    char name[] = "ID";
    char table[] = "T";
    dbcapi_column_info column = {};
    column.name = name;
    column.column_name = name;
    column.table_name = table;
    column.type = DBCAPI_VAL32;
    column.native_type = DBCAPI_NATIVE_INT;
    column.precision = 10;
    g_columns = {column, column};
    g_columns[1].table_name = nullptr;

    std::vector<dbcapi_column_info*> infos;
    ASSERT_EQ(2, fetchColumnInfos(nullptr, infos));
    name[0] = 'X';
    table[0] = 'Y';
    EXPECT_STREQ("ID", infos[0]->name);
    EXPECT_STREQ("T", infos[0]->table_name);
    EXPECT_EQ(nullptr, infos[1]->table_name);
    EXPECT_EQ(10, infos[0]->precision);

    std::vector<dbcapi_column_info*> copies;
    ASSERT_EQ(2, copyColumnInfos(copies, infos));
    EXPECT_NE(infos[0]->name, copies[0]->name);
    freeColumnInfos(infos);
    EXPECT_TRUE(infos.empty());
    EXPECT_STREQ("ID", copies[0]->column_name);
    EXPECT_EQ(DBCAPI_NATIVE_INT, copies[1]->native_type);

    g_columns.clear();
    EXPECT_EQ(0, fetchColumnInfos(nullptr, copies));
    EXPECT_TRUE(copies.empty());
}

TEST_F(Scripted, ColumnsAreBoundWithRowSetBuffers) {
    dbcapi_column_info text = {};
    text.native_type = DBCAPI_NATIVE_NVARCHAR;
    text.type = DBCAPI_STRING;
    text.max_size = 10;
    dbcapi_column_info decimal = {};
    decimal.native_type = DBCAPI_NATIVE_DECIMAL;
    decimal.type = DBCAPI_STRING;
    std::vector<dbcapi_column_info*> columns = {&text, &decimal};

    DataValueCollection values;
    ASSERT_TRUE(allocateAndBindColumns(nullptr, 3, columns, values));
    EXPECT_EQ(3u, g_rowsetSize);
    ASSERT_EQ(2u, values.size());
    EXPECT_EQ(41u, values[0]->buffer_size);
    EXPECT_EQ(128u, values[1]->buffer_size);
    EXPECT_EQ(DBCAPI_STRING, values[0]->type);
    ASSERT_EQ(2u, g_boundColumns.size());
    EXPECT_EQ(values[1], g_boundColumns[1]);
    // The buffers hold every row of the set.
    memset(values[0]->buffer, 'x', 41 * 3);
    values[1]->length[2] = 7;
    values[1]->is_null[2] = 1;

    g_failBindColumnAt = 1;
    EXPECT_FALSE(allocateAndBindColumns(nullptr, 2, columns, values));
    EXPECT_EQ(2u, values.size());
    g_rowsetResult = 0;
    EXPECT_FALSE(allocateAndBindColumns(nullptr, 2, {}, values));
    EXPECT_TRUE(values.empty());
}

TEST(BindRecords, CopiesAreDeep) {
    std::vector<dbcapi_bind_data*> source = {textRecord("abc"), newBindRecord()};
    *source[1]->value.is_null = 1;
    std::vector<dbcapi_bind_data*> target = {textRecord("old")};
    copyParameters(target, source);
    ASSERT_EQ(2u, target.size());
    source[0]->value.buffer[0] = 'X';
    *source[0]->value.length = 1;
    EXPECT_STREQ("abc", target[0]->value.buffer);
    EXPECT_EQ(3u, *target[0]->value.length);
    EXPECT_EQ(1, *target[1]->value.is_null);
    EXPECT_EQ(nullptr, target[1]->value.buffer);
    clearParameters(source);
    clearParameters(target);
    EXPECT_TRUE(target.empty());
}

TEST_F(Scripted, MergeStopsAtTextThatIsNoInteger) {
    g_params = {{DBCAPI_DD_INPUT, DBCAPI_VAL32, DBCAPI_NATIVE_INT, 4},
                {DBCAPI_DD_INPUT, DBCAPI_VAL32, DBCAPI_NATIVE_INT, 4}};
    for (const char* bad : {"42a", "", "99999999999"}) {
        std::vector<dbcapi_bind_data*> values = {textRecord("1"), textRecord(bad)};
        std::vector<dbcapi_bind_data*> out;
        EXPECT_EQ(1, getBindParameters(values, out, nullptr)) << bad;
        EXPECT_EQ(2u, out.size());
        EXPECT_TRUE(values.empty());
        clearParameters(out);
    }
    std::vector<dbcapi_bind_data*> values = {textRecord("x"), textRecord("7"), textRecord("8")};
    std::vector<dbcapi_bind_data*> out;
    EXPECT_EQ(0, getBindParameters(values, out, nullptr));
    EXPECT_EQ(1u, out.size());
    EXPECT_EQ(2u, values.size());
    clearParameters(values);
    clearParameters(out);
}

TEST_F(Scripted, DataAtExecIsRefusedBesideOutputOnlyParameters) {
    g_params = {{DBCAPI_DD_INPUT, DBCAPI_BINARY, DBCAPI_NATIVE_BLOB, 0},
                {DBCAPI_DD_OUTPUT, DBCAPI_VAL32, DBCAPI_NATIVE_INT, 4}};
    dbcapi_bind_data* marker = newBindRecord();
    *marker->value.length = DBCAPI_DATA_AT_EXEC_LENGTH;
    std::vector<dbcapi_bind_data*> records = {marker, newBindRecord()};
    records[1]->value.type = DBCAPI_VAL32;
    ErrorInfo e;
    bool dataAtExec = false;
    EXPECT_FALSE(bindParameters(nullptr, nullptr, records, e, dataAtExec));
    EXPECT_TRUE(dataAtExec);
    EXPECT_EQ(-20007, e.code);
    EXPECT_EQ("Can not bind parameter(s)", e.message);
    // The marker keeps the described type.
    EXPECT_EQ(DBCAPI_BINARY, g_boundParams[0].value.type);
    clearParameters(records);
}

TEST_F(Scripted, UnexplainedBindRefusalIsStillAnError) {
    g_params = {{DBCAPI_DD_INPUT, DBCAPI_STRING, DBCAPI_NATIVE_NVARCHAR, 5}};
    g_failBindParamAt = 0;
    std::vector<dbcapi_bind_data*> records = {textRecord("a")};
    ErrorInfo e;
    bool dataAtExec = false;
    EXPECT_FALSE(bindParameters(nullptr, nullptr, records, e, dataAtExec));
    EXPECT_TRUE(e.isSet());
    EXPECT_EQ(-20007, e.code);
    clearParameters(records);
}
