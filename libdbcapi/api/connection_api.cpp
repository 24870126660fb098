// Connections: properties and connect, transactions, client information,
// abort and cancel.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "handles.h"

namespace zkv {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// Reads a value that may be quoted with '...' or "..." or braced {...}.
size_t readValue(const char* str, size_t pos, std::string& value) {
    size_t length = std::strlen(str);
    while (pos < length && (str[pos] == ' ' || str[pos] == '\t')) ++pos;
    char open = pos < length ? str[pos] : '\0';
    if (open == '\'' || open == '"' || open == '{') {
        char close = open == '{' ? '}' : open;
        const char* end = std::strchr(str + pos + 1, close);
        size_t stop = end ? static_cast<size_t>(end - str) : length;
        value.assign(str + pos + 1, stop - pos - 1);
        pos = end ? stop + 1 : length;
        while (pos < length && str[pos] != ';') ++pos;
        return pos;
    }
    size_t stop = pos;
    while (stop < length && str[stop] != ';') ++stop;
    value = trim(std::string(str + pos, stop - pos));
    return stop;
}

void parseConnectString(const char* str, std::map<std::string, std::string>& properties) {
    size_t length = std::strlen(str);
    size_t pos = 0;
    while (pos < length) {
        size_t eq = pos;
        while (eq < length && str[eq] != '=' && str[eq] != ';') ++eq;
        std::string name = lower(trim(std::string(str + pos, eq - pos)));
        if (eq >= length || str[eq] == ';') {
            pos = eq + 1;
            continue;
        }
        std::string value;
        pos = readValue(str, eq + 1, value) + 1;
        if (!name.empty()) properties[name] = value;
    }
}

// The "ISOLATIONLEVEL" property as a level 0-3 (a name or its number), or
// -1 when absent or not one of those.
int isolationProperty(const std::map<std::string, std::string>& properties) {
    auto it = properties.find("isolationlevel");
    if (it == properties.end()) return -1;
    static const char* const names[] = {"READ UNCOMMITTED", "READ COMMITTED", "REPEATABLE READ", "SERIALIZABLE"};
    std::string value;
    for (char c : it->second) value += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int level = 0; level < 4; ++level)
        if (value == names[level]) return level;
    return value.size() == 1 && value[0] >= '0' && value[0] <= '3' ? value[0] - '0' : -1;
}

// Every property name the library or one of its backends reads.
const char* const kKnownProperties[] = {
    "servernode", "uid", "pwd", "databasename", "currentschema", "isolationlevel", "ssltruststore",
    "sslkeystore", "encrypt", "sslvalidatecertificate", "connecttimeout", "charset", "scrollableresult",
    "readonly", "filemustexist", "statementcachesize", "host", "port", "user", "username", "password",
    "database",
};

// The parameter-object names a connection string may use too: "host" and
// "port" make the server node, the others stand for the library's names.
std::map<std::string, std::string> withAliases(std::map<std::string, std::string> properties) {
    static const char* const kAliases[][2] = {
        {"user", "uid"}, {"username", "uid"}, {"password", "pwd"}, {"database", "databasename"}};
    for (const auto& alias : kAliases) {
        auto it = properties.find(alias[0]);
        if (it != properties.end() && !properties.count(alias[1])) properties[alias[1]] = it->second;
    }
    auto host = properties.find("host");
    if (host != properties.end() && !properties.count("servernode")) {
        bool bare6 = host->second.find(':') != std::string::npos && host->second.find('[') == std::string::npos;
        std::string node = bare6 ? "[" + host->second + "]" : host->second;
        auto port = properties.find("port");
        if (port != properties.end() && !port->second.empty()) node += ":" + port->second;
        properties["servernode"] = node;
    }
    return properties;
}

bool isKnownProperty(const std::string& name) {
    for (const char* known : kKnownProperties)
        if (name == known) return true;
    return false;
}

bool isTrueProperty(const std::map<std::string, std::string>& properties, const char* name) {
    auto it = properties.find(name);
    if (it == properties.end()) return false;
    std::string value = lower(trim(it->second));
    return value == "true" || value == "yes" || value == "1" || value == "on";
}

// A count written in decimal digits; fallback for anything else.
size_t sizeProperty(const std::string& text, size_t fallback) {
    std::string value = trim(text);
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    return static_cast<size_t>(std::stoul(value));
}

SessionOptions embeddedOptions(const std::map<std::string, std::string>& properties) {
    SessionOptions options;
    auto file = properties.find("databasename");
    if (file != properties.end()) options.databaseFile = file->second;
    auto schema = properties.find("currentschema");
    if (schema != properties.end()) options.currentSchema = schema->second;
    options.readOnly = isTrueProperty(properties, "readonly");
    options.fileMustExist = isTrueProperty(properties, "filemustexist");
    auto cacheSize = properties.find("statementcachesize");
    if (cacheSize != properties.end())
        options.statementCacheSize = sizeProperty(cacheSize->second, options.statementCacheSize);
    return options;
}

bool openSession(dbcapi_connection* conn) {
    if (conn->session) {
        conn->error.set(kSequenceError, "08002", "The connection is already connected");
        return false;
    }
    BackendError err;
    std::shared_ptr<BackendSession> session;
    // A level set through the call wins over the connect property.
    int isolation = conn->isolationSet ? static_cast<int>(conn->isolation) : isolationProperty(conn->properties);
    std::map<std::string, std::string> properties = withAliases(conn->properties);
    if (properties.count("servernode")) {
        session = openPgSession(properties, conn->clientInfo, isolation, err);
    } else {
        session = openSqliteSession(embeddedOptions(properties), err);
    }
    if (!session) {
        conn->error.set(err);
        return false;
    }
    std::lock_guard<std::mutex> lock(conn->sessionMutex);
    conn->session = std::move(session);
    return true;
}

void closeSession(dbcapi_connection* conn) {
    std::shared_ptr<BackendSession> session;
    {
        std::lock_guard<std::mutex> lock(conn->sessionMutex);
        session.swap(conn->session);
    }
    BackendError ignored;
    if (session && !conn->external && session->inTransaction()) session->execute("ROLLBACK", ignored);
}

bool endTransaction(dbcapi_connection* conn, const char* sql) {
    if (!conn) return false;
    CallScope scope(conn, nullptr);
    if (!requireSession(conn)) return false;
    if (!conn->session->inTransaction()) return true;
    BackendError err;
    if (conn->session->execute(sql, err)) return true;
    conn->error.set(err);
    return false;
}

bool applyIsolation(dbcapi_connection* conn, uint32_t level) {
    CallScope scope(conn, nullptr);
    BackendError err;
    if (conn->session->setIsolationLevel(static_cast<int>(level), err)) return true;
    conn->error.set(err);
    return false;
}

bool copyInfo(dbcapi_connection* conn, const char* key, char* buffer, size_t size) {
    if (!conn || !key || !buffer) return false;
    auto it = conn->clientInfo.find(key);
    if (it == conn->clientInfo.end() || it->second.size() + 1 > size) return false;
    std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
    return true;
}

}  // namespace

CallScope::CallScope(dbcapi_connection* conn, dbcapi_stmt* stmt, int32_t timeoutSeconds)
    : conn_(conn), stmt_(stmt) {
    conn_->error.clear();
    if (!conn_->session) return;
    startNs_ = steadyNanos();
    int64_t deadline = timeoutSeconds > 0 ? startNs_ + static_cast<int64_t>(timeoutSeconds) * 1000000000 : 0;
    conn_->session->beginCall(startNs_, deadline, this);
}

CallScope::~CallScope() {
    if (conn_->session) conn_->session->endCall();
}

void CallScope::onWarning(int32_t code, const char* sqlstate, const char* message) {
    if (conn_->warningCallback) conn_->warningCallback(stmt_, message, code, sqlstate, conn_->warningContext);
}

void CallScope::onPrintLine(const char* text, size_t length) {
    if (stmt_) stmt_->printLines.emplace_back(text, length);
}

bool requireSession(dbcapi_connection* conn) {
    if (conn->session) return true;
    conn->error.set(kNotConnected, "08003", "The connection is not connected");
    return false;
}

bool openImplicitTransaction(dbcapi_connection* conn, int32_t functionCode) {
    if (conn->autocommit || functionCode == DBCAPI_FUNCTION_TRANSACTION || functionCode == DBCAPI_FUNCTION_OTHER || conn->session->inTransaction())
        return true;
    BackendError err;
    if (conn->session->execute("BEGIN", err)) return true;
    conn->error.set(err);
    return false;
}

}  // namespace zkv

DBCAPI_EXPORT dbcapi_connection* dbcapi_new_connection(void) {
    auto* conn = new dbcapi_connection();
    zkv::registerConnection(conn);
    return conn;
}

DBCAPI_EXPORT void dbcapi_free_connection(dbcapi_connection* conn) {
    if (!conn) return;
    zkv::unregisterConnection(conn);
    zkv::closeSession(conn);
    delete conn;
}

DBCAPI_EXPORT dbcapi_connection* dbcapi_make_connection(void* arg) {
    auto* owner = static_cast<dbcapi_connection*>(arg);
    zkv::ErrorState& err = zkv::connectionlessError();
    err.clear();
    if (!owner || !zkv::isLiveConnection(owner)) {
        err.set(zkv::kInvalidHandle, "08003", "Invalid connection handle: not a live connection of this library");
        return nullptr;
    }
    std::shared_ptr<zkv::BackendSession> session;
    {
        std::lock_guard<std::mutex> lock(owner->sessionMutex);
        session = owner->session;
    }
    if (!session) {
        err.set(zkv::kNotConnected, "08003", "The connection to adopt is not connected");
        return nullptr;
    }
    auto* conn = new dbcapi_connection();
    conn->session = std::move(session);
    conn->external = true;
    conn->autocommit = owner->autocommit;
    zkv::registerConnection(conn);
    return conn;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_connect_property(dbcapi_connection* conn, const char* name,
                                                      const char* value) {
    if (!conn) return 0;
    conn->error.clear();
    if (!name || !*name) {
        conn->error.set(zkv::kInvalidArgument, "HY009", "A connect property needs a name");
        return 0;
    }
    conn->properties[zkv::lower(zkv::trim(name))] = value ? value : "";
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_is_connect_property(const char* name) {
    return name && zkv::isKnownProperty(zkv::lower(zkv::trim(name))) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_connect(dbcapi_connection* conn, const char* str) {
    if (!conn) return 0;
    conn->error.clear();
    if (str) zkv::parseConnectString(str, conn->properties);
    return zkv::openSession(conn) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_connect2(dbcapi_connection* conn) {
    if (!conn) return 0;
    conn->error.clear();
    return zkv::openSession(conn) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_disconnect(dbcapi_connection* conn) {
    if (!conn) return 0;
    conn->error.clear();
    if (!zkv::requireSession(conn)) return 0;
    zkv::closeSession(conn);
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_autocommit(dbcapi_connection* conn, dbcapi_bool* mode) {
    if (!conn || !mode) return 0;
    conn->error.clear();
    *mode = conn->autocommit ? 1 : 0;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_autocommit(dbcapi_connection* conn, dbcapi_bool mode) {
    if (!conn) return 0;
    // Switching auto-commit on ends the open transaction by committing it.
    if (mode && !conn->autocommit && conn->session && !zkv::endTransaction(conn, "COMMIT")) return 0;
    conn->error.clear();
    conn->autocommit = mode != 0;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_commit(dbcapi_connection* conn) {
    return zkv::endTransaction(conn, "COMMIT") ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_rollback(dbcapi_connection* conn) {
    return zkv::endTransaction(conn, "ROLLBACK") ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_transaction_isolation(dbcapi_connection* conn, uint32_t level) {
    if (!conn) return 0;
    conn->error.clear();
    if (level > 3) {
        conn->error.set(zkv::kInvalidArgument, "HY024",
                        "Invalid transaction isolation level " + std::to_string(level) + " (0 to 3 are accepted)");
        return 0;
    }
    if (conn->session && !zkv::applyIsolation(conn, level)) return 0;
    conn->isolation = level;
    conn->isolationSet = true;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_abort(dbcapi_connection* conn) {
    return conn && zkv::interruptConnection(conn) ? 1 : 0;
}

DBCAPI_EXPORT void dbcapi_cancel(dbcapi_connection* conn) {
    if (conn) zkv::interruptConnection(conn);
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_clientinfo(dbcapi_connection* conn, const char* key, const char* value) {
    if (!conn) return 0;
    conn->error.clear();
    if (!key || !*key) {
        conn->error.set(zkv::kInvalidArgument, "HY009", "Client information needs a key");
        return 0;
    }
    if (value) conn->clientInfo[key] = value;
    else conn->clientInfo.erase(key);
    if (conn->session) conn->session->setClientInfo(key, value ? value : "");
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_clientinfo(dbcapi_connection* conn, const char* key, char* buffer,
                                                size_t size) {
    return zkv::copyInfo(conn, key, buffer, size) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_clientinfo_utf8(dbcapi_connection* conn, const char* key, char* buffer,
                                                     size_t size) {
    return zkv::copyInfo(conn, key, buffer, size) ? 1 : 0;
}
