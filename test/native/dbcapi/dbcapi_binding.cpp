// Parameter binding where the driver cannot reach: every host type, values
// out of range, marker indexes and lengths beyond the buffer.
#include <cstdint>
#include <limits>

#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

namespace {

dbcapi_bind_data valueParam(dbcapi_data_type type, void* buffer, size_t size, size_t* length = nullptr,
                            dbcapi_bool* isNull = nullptr) {
    dbcapi_bind_data p{};
    p.direction = DBCAPI_DD_INPUT;
    p.value.type = type;
    p.value.buffer = static_cast<char*>(buffer);
    p.value.buffer_size = size;
    p.value.length = length;
    p.value.is_null = isNull;
    return p;
}

std::string roundTrip(dbcapi_connection* conn, dbcapi_bind_data param, const char* expr = "?") {
    std::string sql = std::string("SELECT CAST(") + expr + " AS TEXT), typeof(" + expr + ")";
    dbcapi_stmt* stmt = dbcapi_prepare(conn, sql.c_str());
    EXPECT_NE(stmt, nullptr);
    if (!stmt) return "<prepare>";
    std::string out;
    if (dbcapi_bind_param(stmt, 0, &param) && dbcapi_bind_param(stmt, 1, &param) && dbcapi_execute(stmt) &&
        dbcapi_fetch_next(stmt))
        out = dbtest::textOf(stmt, 0) + "|" + dbtest::textOf(stmt, 1);
    else
        out = "<error " + lastError(conn).message + ">";
    dbcapi_free_stmt(stmt);
    return out;
}

}  // namespace

TEST(DbcapiBinding, EveryHostTypeAndExtremes) {
    Connection c;
    int64_t i64max = std::numeric_limits<int64_t>::max(), i64min = std::numeric_limits<int64_t>::min();
    uint64_t u64 = 9007199254740993ULL;
    int32_t i32 = -2147483647 - 1;
    uint32_t u32 = 4294967295U;
    int16_t i16 = -32768;
    uint16_t u16 = 65535;
    int8_t i8 = -128;
    uint8_t u8 = 255;
    double d = 1.5e300;
    float f = 0.25f;
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_VAL64, &i64max, 8)), "9223372036854775807|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_VAL64, &i64min, 8)), "-9223372036854775808|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_UVAL64, &u64, 8)), "9007199254740993|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_VAL32, &i32, 4)), "-2147483648|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_UVAL32, &u32, 4)), "4294967295|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_VAL16, &i16, 2)), "-32768|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_UVAL16, &u16, 2)), "65535|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_VAL8, &i8, 1)), "-128|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_UVAL8, &u8, 1)), "255|integer");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_DOUBLE, &d, 8)), "1.5e+300|real");
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_FLOAT, &f, 4)), "0.25|real");
    char text[] = "h\xC3\xA9llo";
    size_t textLength = 6;
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_STRING, text, sizeof text, &textLength)), "h\xC3\xA9llo|text");
    char bytes[] = {'a', '\0', 'b'};
    size_t bytesLength = 3;
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_BINARY, bytes, 3, &bytesLength), "length(?)"), "3|integer");
    dbcapi_bool yes = 1;
    EXPECT_EQ(roundTrip(c.get(), valueParam(DBCAPI_VAL32, &i32, 4, nullptr, &yes)), "<null>|null");
}

TEST(DbcapiBinding, UnsignedAboveInt64FailsInsteadOfWrapping) {
    Connection c;
    uint64_t big = std::numeric_limits<uint64_t>::max();
    std::string out = roundTrip(c.get(), valueParam(DBCAPI_UVAL64, &big, 8));
    EXPECT_NE(out.find("<error"), std::string::npos);
    EXPECT_EQ(lastError(c.get()).sqlstate, "22003");
}

TEST(DbcapiBinding, MarkerIndexBeyondTheTextAndOutputReadsAreRefused) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_prepare(c.get(), "SELECT ?");
    dbcapi_bind_data d{};
    EXPECT_FALSE(dbcapi_describe_bind_param(stmt, 1, &d));
    EXPECT_EQ(lastError(c.get()).sqlstate, "07009");
    EXPECT_EQ(dbcapi_get_param_data(stmt, 0, 0, nullptr, 0), -1);
    EXPECT_NE(lastError(c.get()).message.find("output parameters are not supported"), std::string::npos);
    dbcapi_free_stmt(stmt);
}

TEST(DbcapiBinding, BindLengthBeyondBufferIsRefused) {
    Connection c;
    char text[4] = {'a', 'b', 'c', 'd'};
    size_t length = 100;
    std::string out = roundTrip(c.get(), valueParam(DBCAPI_STRING, text, sizeof text, &length));
    EXPECT_NE(out.find("<error"), std::string::npos);
    EXPECT_EQ(lastError(c.get()).sqlstate, "HY090");
}
