// Connection-string reading and rewriting, and the settings taken from
// connection properties (the rewritten strings of both forms show in the
// pool keys the JavaScript tests check).
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "conn_string.h"

namespace {

struct Pair {
    bool ok;
    size_t consumed;
    std::string name;
    std::string value;
};

Pair read(const char* text) {
    Pair pair = {false, 0, "", ""};
    pair.ok = searchAttribute(text, pair.consumed, pair.name, pair.value);
    return pair;
}

// Records what the scheduling switches were given.
int g_uvPool = -1;
int g_preventDeadlock = -1;
int g_interval = -1;
const SchedulingSwitches kRecorder = {[](bool on) { g_uvPool = on; }, [](bool on) { g_preventDeadlock = on; },
                                      [](int ms) { g_interval = ms; }};

void apply(ConnectionSettings& settings, const char* name, const char* value) {
    std::vector<char> buffer(value, value + strlen(value) + 1);
    EXPECT_TRUE(checkProperty(settings, kRecorder, name, buffer.data()));
}

}  // namespace

TEST(SearchAttribute, ReadsPlainPairsAndTellsWhereTheNextStarts) {
    const char* text = "  host = db1 ;port=30015";
    Pair first = read(text);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ("host", first.name);
    EXPECT_EQ("db1", first.value);
    EXPECT_EQ(strlen("  host = db1 ;"), first.consumed);
    Pair second = read(text + first.consumed);
    ASSERT_TRUE(second.ok);
    EXPECT_EQ("port", second.name);
    EXPECT_EQ("30015", second.value);
    EXPECT_EQ(strlen("port=30015"), second.consumed);
    EXPECT_EQ("a=b", read("x=a=b").value);
    EXPECT_EQ("", read("x=;y=1").value);
}

TEST(SearchAttribute, QuotesAndBracesEncloseOnlyWhenTheyCloseTheValue) {
    struct Case {
        const char* text;
        const char* value;
        size_t consumed;  // 0: the whole text
    } cases[] = {
        {"PWD='a;b' ;UID=x", "a;b", strlen("PWD='a;b' ;")},
        {"PWD={a;b} ;UID=x", "a;b", strlen("PWD={a;b} ;")},
        {"K=\"x=y; z\"", "x=y; z", 0},
        {"K=\" padded \"", " padded ", 0},
        {"K=\"it's\"", "it's", 0},
        {"K={ a };X=1", " a ", strlen("K={ a };")},
        {"K={abc}", "abc", 0},
        {"K=x{a;b};Y=1", "x{a;b}", strlen("K=x{a;b};")},
        // A brace that does not enclose the value is part of it.
        {"K={abc", "{abc", 0},
        {"K={a}b", "{a}b", 0},
        {"K={", "{", 0},
    };
    for (const Case& c : cases) {
        Pair pair = read(c.text);
        ASSERT_TRUE(pair.ok) << c.text;
        EXPECT_EQ(c.value, pair.value) << c.text;
        EXPECT_EQ(c.consumed ? c.consumed : strlen(c.text), pair.consumed) << c.text;
    }
}

TEST(SearchAttribute, RejectsTextThatIsNoPair) {
    EXPECT_FALSE(read(nullptr).ok);
    for (const char* text : {"", "no equals sign", "K=   ", "K='open;X=1", "K='a'b;X=1", "K={a;b;X=1", "K={a;b}c;X=1"})
        EXPECT_FALSE(read(text).ok) << text;
}

TEST(SearchAttribute, LongNamesAreReadWhole) {
    std::string name(5000, 'n');
    std::string text = name + "=v;X=1";
    Pair pair = read(text.c_str());
    ASSERT_TRUE(pair.ok);
    EXPECT_EQ(name, pair.name);
    EXPECT_EQ("v", pair.value);
    EXPECT_EQ(name.size() + 3, pair.consumed);
}

TEST(BoolProperty, KnowsFourWordsAndUpperCasesInPlace) {
    struct Case {
        const char* text;
        bool value;
        bool valid;
        const char* upper;
    } cases[] = {{"true", true, true, "TRUE"},  {"Yes", true, true, "YES"},  {"false", false, true, "FALSE"},
                 {"no", false, true, "NO"},     {"1", false, false, "1"},    {"on", false, false, "ON"},
                 {"", false, false, ""}};
    for (const Case& c : cases) {
        std::vector<char> buffer(c.text, c.text + strlen(c.text) + 1);
        bool valid = true;
        EXPECT_EQ(c.value, getBoolPropertyValue(buffer.data(), valid)) << c.text;
        EXPECT_EQ(c.valid, valid) << c.text;
        EXPECT_STREQ(c.upper, buffer.data());
    }
}

TEST(CheckProperty, IsolationLevelsByNameOrNumber) {
    ConnectionSettings settings;
    EXPECT_EQ(1, settings.isolationLevel);
    struct Case {
        const char* text;
        int level;
    } cases[] = {{"read uncommitted", 0}, {"READ COMMITTED", 1}, {"Repeatable Read", 2},
                 {"serializable", 3},     {"8", 8},              {"bogus", 0}};
    for (const Case& c : cases) {
        apply(settings, "IsolationLevel", c.text);
        EXPECT_EQ(c.level, settings.isolationLevel) << c.text;
    }
}

TEST(CheckProperty, ResultSetLimitInMegabytesIsClamped) {
    ConnectionSettings settings;
    apply(settings, "resultSetArrayLimitMB", "1");
    EXPECT_EQ(1048576, settings.resultSetArrayLimit);
    apply(settings, "RESULTSETARRAYLIMITMB", "2047");
    EXPECT_EQ(2047 * 1048576, settings.resultSetArrayLimit);
    apply(settings, "resultSetArrayLimitMB", "2048");
    EXPECT_EQ(INT_MAX, settings.resultSetArrayLimit);
    apply(settings, "resultSetArrayLimitMB", "99999999999999999999");
    EXPECT_EQ(INT_MAX, settings.resultSetArrayLimit);
    apply(settings, "resultSetArrayLimitMB", "-3");
    EXPECT_EQ(-3 * 1048576, settings.resultSetArrayLimit);
    apply(settings, "resultSetArrayLimitMB", "-99999999999");
    EXPECT_LT(settings.resultSetArrayLimit, 0);
}

TEST(CheckProperty, SchedulingSwitchesGetOnlyValidValues) {
    ConnectionSettings settings;
    g_uvPool = g_preventDeadlock = g_interval = -1;
    apply(settings, "oldthreadpool", "yes");
    apply(settings, "PREVENTDEADLOCK", "maybe");
    apply(settings, "DLCHECKINTERVAL", "250");
    EXPECT_EQ(1, g_uvPool);
    EXPECT_EQ(-1, g_preventDeadlock);
    EXPECT_EQ(250, g_interval);
    apply(settings, "PREVENTDEADLOCK", "false");
    EXPECT_EQ(0, g_preventDeadlock);
    ConnectionSettings untouched;
    apply(untouched, "DATATRUNCATIONERROR", "TRUE");
    apply(untouched, "unknown", "x");
    EXPECT_FALSE(untouched.pooling);
    EXPECT_EQ(0, untouched.maxPoolSize);
}

