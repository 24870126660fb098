// The result builder's first allocation, error kinds and refused values, and
// the value views and date records it is filled from (the layout, growth,
// size limit, values of each type and column keys are covered through the
// driver and the decoder in the JavaScript tests).
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <new>
#include <string>

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

std::string asText(const Item& item) {
    EXPECT_EQ(readU32(item.payload.data()), item.payload.size() - 4);
    return item.payload.substr(4);
}

}  // namespace

TEST(ResultBuilder, FirstItemLargerThanFirstAllocationStillFits) {
    InternalResultSetBuilder builder;
    std::string name(70000, 'n');
    builder.appendColumnName(name.data(), name.size());
    EXPECT_EQ(builder.capacity(), 262144u);
    size_t size = 0;
    builder.getBinaryResultSet(size);
    EXPECT_EQ(size, 16u + 5u + 70000u);
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
