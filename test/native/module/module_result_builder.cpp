#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <limits>
#include <new>
#include <string>
#include <vector>

#include "result_builder.h"

namespace {

uint32_t readU32(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] | (u[1] << 8) | (u[2] << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

// The tag and payload of the single value appended to a fresh builder that
// already holds one column name "C".
struct Item {
    int tag;
    std::string payload;
};

Item appendOne(dbcapi_data_type type, const void* data, size_t length, dbcapi_native_type native,
               bool* accepted = nullptr) {
    InternalResultSetBuilder builder;
    builder.appendColumnName("C", 1);
    ValueView view{static_cast<const char*>(data), length, false, type};
    bool ok = builder.appendValue(view, native);
    if (accepted != nullptr) {
        *accepted = ok;
    }
    size_t size = 0;
    const char* buffer = builder.getBinaryResultSet(size);
    const size_t start = 16 + 6;
    if (size <= start) {
        return Item{0, ""};
    }
    return Item{static_cast<unsigned char>(buffer[start]), std::string(buffer + start + 1, size - start - 1)};
}

template <typename T>
Item appendScalar(dbcapi_data_type type, T value, dbcapi_native_type native = DBCAPI_NATIVE_INT) {
    return appendOne(type, &value, sizeof(value), native);
}

int32_t asInt32(const Item& item) { return static_cast<int32_t>(readU32(item.payload.data())); }

double asDouble(const Item& item) {
    double d;
    memcpy(&d, item.payload.data(), 8);
    return d;
}

std::string asText(const Item& item) {
    EXPECT_EQ(readU32(item.payload.data()), item.payload.size() - 4);
    return item.payload.substr(4);
}

void fillUntilThrows(InternalResultSetBuilder& builder, size_t itemBytes) {
    std::string chunk(itemBytes, 'x');
    for (int i = 0; i < 100000; i++) {
        builder.appendStringOrBinaryValue(IRS_STRING, chunk.data(), chunk.size());
    }
}

}  // namespace

TEST(ResultBuilder, WritesHeaderNameSectionsAndRowsLittleEndian) {
    InternalResultSetBuilder builder;
    builder.appendColumnName("ID", 2);
    builder.appendColumnName("N", 1);
    builder.appendColumnTableName(nullptr, 0);
    builder.appendColumnTableName("T", 1);
    builder.appendInt32Value(-2);
    builder.appendStringOrBinaryValue(IRS_BINARY, "\x00\xff", 2);
    builder.endRow();
    builder.appendBooleanValue(true);
    builder.appendNullValue();
    builder.endRow();

    size_t size = 0;
    const char* buffer = builder.getBinaryResultSet(size);
    const unsigned char expected[] = {
        51, 0, 0, 0, 0, 0, 0, 0,  // total size
        2, 0, 0, 0,               // rows
        2, 0, 0, 0,               // columns
        5, 2, 0, 0, 0, 'I', 'D', 5, 1, 0, 0, 0, 'N',
        1, 5, 1, 0, 0, 0, 'T',
        3, 0xfe, 0xff, 0xff, 0xff, 6, 2, 0, 0, 0, 0x00, 0xff,
        2, 1, 1};
    ASSERT_EQ(size, sizeof(expected));
    EXPECT_EQ(0, memcmp(buffer, expected, sizeof(expected)));
    EXPECT_EQ(builder.rowCount(), 2u);
    EXPECT_EQ(builder.columnCount(), 2u);
}

TEST(ResultBuilder, EmptyBuilderHandsOutNoBufferAndEmptyTableNameIsNull) {
    InternalResultSetBuilder builder;
    size_t size = 99;
    EXPECT_EQ(builder.getBinaryResultSet(size), nullptr);
    EXPECT_EQ(size, 0u);

    builder.appendColumnTableName("", 0);
    const char* buffer = builder.getBinaryResultSet(size);
    ASSERT_EQ(size, 17u);
    EXPECT_EQ(buffer[16], IRS_NULL);
}

TEST(ResultBuilder, GrowthFollowsTheStepRule) {
    InternalResultSetBuilder builder;
    builder.appendNullValue();
    EXPECT_EQ(builder.capacity(), 512u);
    // 17 used + a 4105-byte item passes the first allocation
    std::string small(4100, 's');
    builder.appendStringOrBinaryValue(IRS_STRING, small.data(), small.size());
    EXPECT_EQ(builder.capacity(), 65536u);
    // used 17 + 4105 + item 61415 = 65537 needed
    std::string fill(61415 - 5, 'a');
    builder.appendStringOrBinaryValue(IRS_STRING, fill.data(), fill.size());
    EXPECT_EQ(builder.capacity(), 262144u);
    // 65537 + 234463 = 300000 needed: 450000 rounds down to 262144, plus a step
    std::string more(234463 - 5, 'b');
    builder.appendStringOrBinaryValue(IRS_STRING, more.data(), more.size());
    EXPECT_EQ(builder.capacity(), 524288u);

    size_t size = 0;
    const char* buffer = builder.getBinaryResultSet(size);
    EXPECT_EQ(size, 300000u);
    EXPECT_EQ(buffer[size - 1], 'b');
    EXPECT_EQ(buffer[17 + 5], 's');
    EXPECT_EQ(buffer[17 + 4105 + 5], 'a');
}

TEST(ResultBuilder, FirstItemLargerThanFirstAllocationStillFits) {
    InternalResultSetBuilder builder;
    std::string name(70000, 'n');
    builder.appendColumnName(name.data(), name.size());
    EXPECT_EQ(builder.capacity(), 262144u);
    size_t size = 0;
    builder.getBinaryResultSet(size);
    EXPECT_EQ(size, 16u + 5u + 70000u);
}

TEST(ResultBuilder, MemoryLimitStopsGrowthWithSizeLimitError) {
    InternalResultSetBuilder builder;
    builder.setMemoryLimit(1048576);
    EXPECT_THROW(fillUntilThrows(builder, 1000), std::bad_alloc);
    EXPECT_TRUE(builder.sizeLimitReached());
    EXPECT_FALSE(builder.outOfMemory());
    ErrorInfo error;
    builder.fillError(error);
    EXPECT_EQ(error.code, -20024);
    EXPECT_EQ(error.message, "Result set data size was larger than resultSetArrayLimitMB");
    EXPECT_EQ(error.sqlState, "HY000");
    size_t size = 1;
    EXPECT_EQ(builder.getBinaryResultSet(size), nullptr);
    EXPECT_EQ(size, 0u);
    // Once failed, every later append fails the same way.
    EXPECT_THROW(builder.appendNullValue(), std::bad_alloc);
    EXPECT_FALSE(builder.outOfMemory());
}

TEST(ResultBuilder, LimitBelowFirstAllocationStillAllocates65536) {
    InternalResultSetBuilder builder;
    builder.setMemoryLimit(1000);
    std::string text(60000, 't');
    builder.appendStringOrBinaryValue(IRS_STRING, text.data(), text.size());
    EXPECT_EQ(builder.capacity(), 65536u);
    EXPECT_THROW(builder.appendStringOrBinaryValue(IRS_STRING, text.data(), text.size()), std::bad_alloc);
    EXPECT_TRUE(builder.sizeLimitReached());
}

TEST(ResultBuilder, SetMemoryLimitRules) {
    InternalResultSetBuilder builder;
    EXPECT_EQ(builder.memoryLimit(), 2147483647u);
    builder.setMemoryLimit(5000000);
    builder.setMemoryLimit(0);
    EXPECT_EQ(builder.memoryLimit(), 5000000u);
    builder.setMemoryLimit(-1);
    EXPECT_EQ(builder.memoryLimit(), 65536u);
    builder.setMemoryLimit(4096LL * 1048576);
    EXPECT_EQ(builder.memoryLimit(), 2147483647u);
}

TEST(ResultBuilder, ErrorKindsFromFlags) {
    InternalResultSetBuilder builder;
    ErrorInfo error;
    builder.fillError(error);
    EXPECT_EQ(error.code, -20008);
    EXPECT_EQ(error.message, "An error occurred");
    EXPECT_THROW(builder.throwOOMOrSizeLimit(), std::bad_alloc);
    EXPECT_TRUE(builder.outOfMemory());
    builder.fillError(error);
    EXPECT_EQ(error.code, -20021);
    EXPECT_EQ(error.message, "Out of memory");
}

TEST(ResultBuilder, SixtyFourBitIntegersPickTheNarrowestExactTag) {
    Item i = appendScalar<int64_t>(DBCAPI_VAL64, -2147483648LL);
    EXPECT_EQ(i.tag, IRS_INT32);
    EXPECT_EQ(asInt32(i), INT32_MIN);
    i = appendScalar<int64_t>(DBCAPI_VAL64, 2147483648LL);
    EXPECT_EQ(i.tag, IRS_DOUBLE);
    EXPECT_EQ(asDouble(i), 2147483648.0);
    i = appendScalar<int64_t>(DBCAPI_VAL64, -9007199254740991LL);
    EXPECT_EQ(i.tag, IRS_DOUBLE);
    EXPECT_EQ(asDouble(i), -9007199254740991.0);
    i = appendScalar<int64_t>(DBCAPI_VAL64, 9007199254740992LL);
    EXPECT_EQ(i.tag, IRS_STRING);
    EXPECT_EQ(asText(i), "9007199254740992");
    i = appendScalar<int64_t>(DBCAPI_VAL64, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(asText(i), "-9223372036854775808");

    i = appendScalar<uint32_t>(DBCAPI_UVAL32, 2147483647u);
    EXPECT_EQ(i.tag, IRS_INT32);
    i = appendScalar<uint32_t>(DBCAPI_UVAL32, 4294967295u);
    EXPECT_EQ(i.tag, IRS_DOUBLE);
    EXPECT_EQ(asDouble(i), 4294967295.0);
    i = appendScalar<uint64_t>(DBCAPI_UVAL64, 18446744073709551615ULL);
    EXPECT_EQ(asText(i), "18446744073709551615");
    i = appendScalar<uint64_t>(DBCAPI_UVAL64, 9007199254740991ULL);
    EXPECT_EQ(i.tag, IRS_DOUBLE);
}

TEST(ResultBuilder, SmallIntegersFloatsAndBooleans) {
    EXPECT_EQ(asInt32(appendScalar<uint8_t>(DBCAPI_VAL8, 0xFF)), 255);
    EXPECT_EQ(asInt32(appendScalar<uint16_t>(DBCAPI_VAL16, 0xFFFF)), -1);
    EXPECT_EQ(asInt32(appendScalar<uint16_t>(DBCAPI_UVAL16, 0xFFFF)), 65535);
    Item b = appendScalar<uint8_t>(DBCAPI_UVAL8, 7, DBCAPI_NATIVE_BOOLEAN);
    EXPECT_EQ(b.tag, IRS_BOOLEAN);
    EXPECT_EQ(b.payload, std::string("\x01", 1));
    b = appendScalar<uint8_t>(DBCAPI_VAL8, 0, DBCAPI_NATIVE_BOOLEAN);
    EXPECT_EQ(b.payload, std::string("\x00", 1));
    Item f = appendScalar<float>(DBCAPI_FLOAT, 1.5f);
    EXPECT_EQ(f.tag, IRS_DOUBLE);
    EXPECT_EQ(asDouble(f), 1.5);
    EXPECT_EQ(asDouble(appendScalar<double>(DBCAPI_DOUBLE, -0.25)), -0.25);
}

TEST(ResultBuilder, StringsNullsAndUnknownTypes) {
    Item s = appendOne(DBCAPI_STRING, "2024-01-31", 10, DBCAPI_NATIVE_DATE);
    EXPECT_EQ(s.tag, IRS_STRING);
    EXPECT_EQ(asText(s), "2024-01-31");
    EXPECT_EQ(asText(appendOne(DBCAPI_STRING, nullptr, 0, DBCAPI_NATIVE_NVARCHAR)), "");

    InternalResultSetBuilder builder;
    ValueView nullOfUnknownType{nullptr, 0, true, static_cast<dbcapi_data_type>(40)};
    EXPECT_TRUE(builder.appendValue(nullOfUnknownType, DBCAPI_NATIVE_INT));

    bool accepted = true;
    int64_t x = 1;
    EXPECT_EQ(appendOne(DBCAPI_INVALID_TYPE, &x, 8, DBCAPI_NATIVE_INT, &accepted).tag, 0);
    EXPECT_FALSE(accepted);
    appendOne(static_cast<dbcapi_data_type>(13), &x, 8, DBCAPI_NATIVE_INT, &accepted);
    EXPECT_FALSE(accepted);
    appendOne(DBCAPI_VAL32, nullptr, 4, DBCAPI_NATIVE_INT, &accepted);
    EXPECT_FALSE(accepted);
}

TEST(ResultBuilder, BoundViewsReadRowSlotsAndClampLengths) {
    char data[3 * 8] = "abcdefgh";
    memcpy(data + 8, "ijklmnop", 8);
    size_t lengths[3] = {3, 100, 0};
    dbcapi_bool nulls[3] = {0, 0, 1};
    dbcapi_data_value column{data, 8, lengths, DBCAPI_STRING, nulls, 0};

    ValueView first = boundValueView(column, 0);
    EXPECT_EQ(std::string(first.data, first.length), "abc");
    ValueView second = boundValueView(column, 1);
    EXPECT_EQ(std::string(second.data, second.length), "ijklmnop");
    EXPECT_TRUE(boundValueView(column, 2).isNull);

    char text[] = "hello";
    dbcapi_data_value fetched{text, 64, nullptr, DBCAPI_STRING, nullptr, 0};
    EXPECT_EQ(fetchedValueView(fetched).length, 5u);
    dbcapi_data_value absent{nullptr, 64, lengths, DBCAPI_STRING, nullptr, 0};
    EXPECT_EQ(fetchedValueView(absent).length, 0u);
}

TEST(ColumnKeys, DuplicatesAreNumberedUnlessNestedUnderATable) {
    std::vector<const char*> names = {"A", "A", "B", "A", "a"};
    std::vector<const char*> noTables(5, nullptr);
    EXPECT_EQ(makeColumnKeys(names, noTables, false),
              (std::vector<std::string>{"A", "A:2", "B", "A:3", "a"}));

    std::vector<const char*> ids = {"ID", "ID", "ID", "ID"};
    std::vector<const char*> tables = {"T1", "T2", nullptr, ""};
    EXPECT_EQ(makeColumnKeys(ids, tables, true), (std::vector<std::string>{"ID", "ID", "ID", "ID:2"}));
    EXPECT_EQ(makeColumnKeys(ids, tables, false), (std::vector<std::string>{"ID", "ID:2", "ID:3", "ID:4"}));
}

TEST(DateTimeRecords, OverlongTextIsRefusedWithoutWritingPastTheRecord) {
    struct Guarded {
        a_date record;
        char canary[16];
    } guarded;
    memset(guarded.canary, 'Z', sizeof(guarded.canary));

    EXPECT_TRUE(guarded.record.assign("2024-01-31AB", 12));
    EXPECT_EQ(guarded.record.length, 12u);
    EXPECT_EQ(std::string(guarded.record.text, 12), "2024-01-31AB");

    std::string longText(40, 'x');
    EXPECT_FALSE(guarded.record.assign(longText.data(), longText.size()));
    EXPECT_EQ(guarded.record.length, a_date::kInStringBlock);
    EXPECT_EQ(std::string(guarded.canary, 16), std::string(16, 'Z'));

    a_timestamp stamp;
    EXPECT_TRUE(stamp.assign(longText.data(), 32));
    EXPECT_FALSE(stamp.assign(longText.data(), 33));

    EXPECT_EQ(dateTimeKind(DBCAPI_NATIVE_DAYDATE), DT_DATE);
    EXPECT_EQ(dateTimeKind(DBCAPI_NATIVE_SECONDTIME), DT_TIME);
    EXPECT_EQ(dateTimeKind(DBCAPI_NATIVE_SECONDDATE), DT_TIMESTAMP);
    EXPECT_EQ(dateTimeKind(DBCAPI_NATIVE_TIMESTAMP_TZ), DT_NONE);
}
