// The test-only variants of the library, each broken in one way.
#include <dlfcn.h>

#include <cstdlib>

#include "dbcapi_test_util.h"

namespace {

void* openVariant(const char* name) {
    const char* dir = std::getenv("ZELK_BUILD_DIR");
    std::string path = std::string(dir ? dir : ".") + "/variants/" + name + "/libdbcapiZKV.so";
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

TEST(DbcapiVariants, EachVariantIsBrokenInItsOneWay) {
    void* bad = openVariant("badversion");
    void* missing = openVariant("missing");
    void* noInitEx = openVariant("noinitex");
    void* initFails = openVariant("initfails");
    if (!bad || !missing || !noInitEx || !initFails) GTEST_SKIP() << "variants not built";

    auto version = reinterpret_cast<dbcapi_bool (*)(char*, size_t)>(dlsym(bad, "dbcapi_client_version"));
    char text[256];
    ASSERT_TRUE(version(text, sizeof text));
    EXPECT_STREQ(text, "libdbcapiZKV 2.11.020.1644165758");

    EXPECT_EQ(dlsym(missing, "dbcapi_fetch_next"), nullptr);
    EXPECT_NE(dlsym(missing, "dbcapi_fetch_absolute"), nullptr);
    EXPECT_EQ(dlsym(noInitEx, "dbcapi_init_ex"), nullptr);
    EXPECT_NE(dlsym(noInitEx, "dbcapi_init"), nullptr);

    auto init = reinterpret_cast<dbcapi_bool (*)(const char*, uint32_t, uint32_t*)>(dlsym(initFails, "dbcapi_init"));
    uint32_t max = 0;
    EXPECT_FALSE(init("Node.js", 2, &max));
    EXPECT_NE(dlsym(initFails, "dbcapi_init_ex"), nullptr);
    for (void* handle : {bad, missing, noInitEx, initFails}) dlclose(handle);
}
