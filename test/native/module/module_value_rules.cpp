// Number reading by type; the safe-integer bound shows in the 64-bit cases
// of the JavaScript tests.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include "value_rules.h"

namespace {

// The bytes of value placed one byte past an aligned address.
template <typename T>
DbNumber readOffset(dbcapi_data_type type, T value) {
    alignas(8) char buffer[sizeof(T) + 1];
    memcpy(buffer + 1, &value, sizeof(T));
    return readNumber(type, buffer + 1);
}

TEST(ValueRules, EveryNumberTypeReadsUnalignedIntoItsKind) {
    EXPECT_EQ(readOffset<double>(DBCAPI_DOUBLE, -2.5).real, -2.5);
    EXPECT_EQ(readOffset<float>(DBCAPI_FLOAT, 0.5f).real, 0.5);
    EXPECT_EQ(readOffset<int64_t>(DBCAPI_VAL64, INT64_MIN).signed64, INT64_MIN);
    EXPECT_EQ(readOffset<uint64_t>(DBCAPI_UVAL64, UINT64_MAX).unsigned64, UINT64_MAX);
    DbNumber u32 = readOffset<uint32_t>(DBCAPI_UVAL32, UINT32_MAX);
    EXPECT_EQ(u32.kind, NK_UINT64);
    EXPECT_EQ(u32.unsigned64, UINT32_MAX);
    EXPECT_EQ(readOffset<int32_t>(DBCAPI_VAL32, INT32_MIN).small, INT32_MIN);
    EXPECT_EQ(readOffset<int16_t>(DBCAPI_VAL16, -2).small, -2);
    EXPECT_EQ(readOffset<uint16_t>(DBCAPI_UVAL16, 65535).small, 65535);
    // Both 8-bit types read unsigned.
    EXPECT_EQ(readOffset<int8_t>(DBCAPI_VAL8, -1).small, 255);
    EXPECT_EQ(readOffset<uint8_t>(DBCAPI_UVAL8, 200).kind, NK_SMALL);
    for (dbcapi_data_type type : {DBCAPI_INVALID_TYPE, DBCAPI_BINARY, DBCAPI_STRING}) {
        EXPECT_EQ(numberKindOf(type), NK_NONE) << type;
    }
}

TEST(ValueRules, LargeObjectsExcludeVarbinary) {
    EXPECT_TRUE(isLargeObjectType(DBCAPI_NATIVE_BLOB));
    EXPECT_TRUE(isLargeObjectType(DBCAPI_NATIVE_NCLOB));
    EXPECT_FALSE(isLargeObjectType(DBCAPI_NATIVE_VARBINARY));
    EXPECT_FALSE(isLargeObjectType(DBCAPI_NATIVE_VARCHAR1));
}

}  // namespace
