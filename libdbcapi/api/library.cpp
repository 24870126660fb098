// Library start-up and version, and the registry of live connection handles.
// The library, one folder per part: api/ the exported dbcapi_* entry
// points, core/ handles, the backend seam, values and SQL text, sqlite/ and
// postgres/ the two backends (only they name sqlite3 or libpq), variants/
// the test-only identities linked into the broken test builds.
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "handles.h"
#include "identity.h"

struct dbcapi_interface_context {
    uint32_t apiVersion = 2;
};

namespace zkv {
namespace {

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_set<dbcapi_connection*>& registry() {
    static std::unordered_set<dbcapi_connection*> live;
    return live;
}

bool initialize(uint32_t api_version, uint32_t* max_version) {
    if (!acceptsInterfaceVersion(api_version)) return false;
    if (max_version) *max_version = 2;
    return true;
}

bool copyVersion(char* buffer, size_t length) {
    size_t size = std::strlen(kClientVersion) + 1;
    if (!buffer || length < size) return false;
    std::memcpy(buffer, kClientVersion, size);
    return true;
}

}  // namespace

void registerConnection(dbcapi_connection* conn) {
    std::lock_guard<std::mutex> lock(registryMutex());
    registry().insert(conn);
}

void unregisterConnection(dbcapi_connection* conn) {
    std::lock_guard<std::mutex> lock(registryMutex());
    registry().erase(conn);
}

bool isLiveConnection(dbcapi_connection* conn) {
    std::lock_guard<std::mutex> lock(registryMutex());
    return registry().count(conn) != 0;
}

// Interrupts conn's running call, if conn is still a live handle. The
// registry lock keeps conn from being freed meanwhile.
bool interruptConnection(dbcapi_connection* conn) {
    std::shared_ptr<BackendSession> session;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        if (!registry().count(conn)) return false;
        std::lock_guard<std::mutex> sessionLock(conn->sessionMutex);
        session = conn->session;
    }
    if (session) session->interrupt();
    return session != nullptr;
}

}  // namespace zkv

DBCAPI_EXPORT dbcapi_bool dbcapi_init(const char* app_name, uint32_t api_version, uint32_t* max_version) {
    return zkv::initialize(api_version, max_version) ? 1 : 0;
}

DBCAPI_EXPORT void dbcapi_fini(void) {}

// Test-only: handles not yet freed. Outside the dbcapi table on purpose.
DBCAPI_EXPORT void zkv_debug_live_counts(int* connections, int* statements) {
    if (connections) *connections = zkv::LiveCount<0>::value().load();
    if (statements) *statements = zkv::LiveCount<1>::value().load();
}

DBCAPI_EXPORT dbcapi_bool dbcapi_client_version(char* buffer, size_t length) {
    return zkv::copyVersion(buffer, length) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_interface_context* dbcapi_init_ex(const char* app_name, uint32_t api_version,
                                                       uint32_t* max_version) {
    if (!zkv::initialize(api_version, max_version)) return nullptr;
    auto* context = new dbcapi_interface_context();
    context->apiVersion = api_version;
    return context;
}

DBCAPI_EXPORT void dbcapi_fini_ex(dbcapi_interface_context* context) { delete context; }

DBCAPI_EXPORT dbcapi_connection* dbcapi_new_connection_ex(dbcapi_interface_context* context) {
    return context ? dbcapi_new_connection() : nullptr;
}

DBCAPI_EXPORT dbcapi_connection* dbcapi_make_connection_ex(dbcapi_interface_context* context, void* arg) {
    return context ? dbcapi_make_connection(arg) : nullptr;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_client_version_ex(dbcapi_interface_context* context, char* buffer,
                                                   size_t length) {
    return context && zkv::copyVersion(buffer, length) ? 1 : 0;
}
