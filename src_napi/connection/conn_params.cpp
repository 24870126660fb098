#include "conn_params.h"

#include "arguments.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "js_errors.h"
#include "thread.h"

namespace {

const SchedulingSwitches kPoolSwitches = {zelk_use_uv_threadpool, zelk_prevent_deadlock, zelk_set_interval};

// Own enumerable string keys, in property order.
Napi::Array ownKeys(Napi::Env env, const Napi::Object& object) {
    napi_value keys = nullptr;
    napi_status status = napi_get_all_property_names(
        env, object, napi_key_own_only, static_cast<napi_key_filter>(napi_key_enumerable | napi_key_skip_symbols),
        napi_key_numbers_to_strings, &keys);
    if (status != napi_ok) {
        return Napi::Array::New(env, 0);
    }
    return Napi::Array(env, keys);
}

// IPv6 addresses are bracketed so that the port can follow them.
std::string serverAddress(const std::string& host, const std::string& port, const std::string& instance,
                          bool hasDatabase) {
    std::string server = host;
    if (host.find(':') != std::string::npos && host.find('[') == std::string::npos) {
        server = "[" + host + "]";
    }
    if (!port.empty()) {
        server += ":" + port;
    } else if (!instance.empty()) {
        server += ":3" + instance + (hasDatabase ? "13" : "15");
    }
    return server;
}

struct HostParts {
    std::string host;
    std::string port;
    std::string database;
    std::string instance;
};

// Takes name's value into parts when name is one of the host keys.
bool readHostPart(const std::string& name, const Napi::Value& value, HostParts& parts) {
    std::string* target = nullptr;
    if (compareString(name, "host", false)) {
        target = &parts.host;
    } else if (compareString(name, "port", false)) {
        target = &parts.port;
    } else if (compareString(name, "database", false) || compareString(name, "databasename", false)) {
        target = &parts.database;
    } else if (compareString(name, "instanceNumber", false)) {
        target = &parts.instance;
    }
    if (target != nullptr) {
        convertToString(value, *target);
    }
    return target != nullptr;
}

}  // namespace

int getHostsString(const Napi::Value& hosts, std::string& out) {
    if (!hosts.IsArray()) {
        return 0;
    }
    Napi::Env env = hosts.Env();
    Napi::Array array = hosts.As<Napi::Array>();
    std::string list;
    int count = 0;
    for (uint32_t i = 0; i < array.Length(); i++) {
        Napi::Value element = array.Get(i);
        if (!element.IsObject()) {
            continue;
        }
        Napi::Object object = element.As<Napi::Object>();
        Napi::Array keys = ownKeys(env, object);
        HostParts parts;
        for (uint32_t k = 0; k < keys.Length(); k++) {
            Napi::Value key = keys.Get(k);
            std::string name;
            convertToString(key, name);
            if (compareString(name, "host", false) || compareString(name, "port", false) ||
                compareString(name, "database", false) || compareString(name, "instanceNumber", false)) {
                readHostPart(name, object.Get(key), parts);
            }
        }
        if (parts.host.empty()) {
            continue;
        }
        list += count > 0 ? "," : "";
        list += serverAddress(parts.host, parts.port, parts.instance, !parts.database.empty());
        count++;
    }
    if (count > 0) {
        out = list;
    }
    return count;
}

namespace {

// Appends name=value to the string and the pair to the lists.
class PropertyWriter {
public:
    PropertyWriter(std::vector<std::string*>& names, std::vector<std::string*>& values)
        : names_(names), values_(values) {}

    void add(const std::string& name, const std::string& value) {
        if (!text_.empty()) {
            text_ += ";";
        }
        text_ += name + "=" + value;
        names_.push_back(new std::string(name));
        values_.push_back(new std::string(value));
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::vector<std::string*>& names_;
    std::vector<std::string*>& values_;
};

struct SecurityParts {
    std::string key;
    std::string cert;
    std::string ca;
};

const char* passedOnName(const std::string& name) {
    if (compareString(name, "user", false) || compareString(name, "username", false)) {
        return "uid";
    }
    if (compareString(name, "password", false) || compareString(name, "pwd", false)) {
        return "pwd";
    }
    return nullptr;
}

void readParameter(const std::string& name, const Napi::Value& value, std::string& hosts, HostParts& server,
                   SecurityParts& security, PropertyWriter& writer) {
    if (compareString(name, "hosts", false) && value.IsString()) {
        hosts = value.As<Napi::String>().Utf8Value();
    } else if (compareString(name, "hosts", false)) {
        getHostsString(value, hosts);
    } else if (compareString(name, "key", false)) {
        getString(value, security.key);
    } else if (compareString(name, "cert", false)) {
        getString(value, security.cert);
    } else if (compareString(name, "ca", false)) {
        getString(value, security.ca);
    } else if (!readHostPart(name, value, server)) {
        std::string text;
        convertToString(value, text);
        const char* renamed = passedOnName(name);
        writer.add(renamed != nullptr ? renamed : name, text);
    }
}

void addSecurity(const SecurityParts& security, PropertyWriter& writer) {
    if (!security.ca.empty()) {
        writer.add("sslTrustStore", security.ca);
    }
    bool hasKeyStore = !security.key.empty() || !security.cert.empty();
    if (hasKeyStore) {
        std::string separator = !security.key.empty() && !security.cert.empty() ? "\n" : "";
        writer.add("sslKeyStore", security.key + separator + security.cert);
    }
    if (hasKeyStore || !security.ca.empty()) {
        writer.add("ENCRYPT", "true");
        if (!hasKeyStore) {
            writer.add("sslKeyStore", "");
        }
    }
}

bool isParameterKey(const std::string& name) {
    static const char* const kKeys[] = {"hosts", "host",     "port",     "database", "databaseName",
                                        "instanceNumber", "key", "cert", "ca",       "user",
                                        "username", "password", "pwd"};
    for (const char* key : kKeys) {
        if (compareString(name, key, false)) {
            return true;
        }
    }
    return false;
}

// A library without the query accepts every name, as before it had one.
bool isLibraryProperty(const std::string& name) {
    return g_api.dbcapi_is_connect_property == nullptr || g_api.dbcapi_is_connect_property(name.c_str());
}

bool refuse(const std::string& message, ErrorInfo& error) {
    error = ErrorInfo(JS_ERR_INVALID_ARGUMENTS, message, "HY000");
    return false;
}

bool checkUnknown(const std::string& name, bool isKey, ErrorInfo& error) {
    if (isKey || isModuleProperty(name) || isLibraryProperty(name)) {
        return true;
    }
    return refuse("Unknown connection property \"" + name + "\"", error);
}

bool isText(const Napi::Value& value) { return value.IsString() || value.IsBuffer(); }

bool isTextList(const Napi::Value& value) {
    if (isText(value)) {
        return true;
    }
    if (!value.IsArray()) {
        return false;
    }
    Napi::Array array = value.As<Napi::Array>();
    for (uint32_t i = 0; i < array.Length(); i++) {
        if (!isText(array.Get(i))) {
            return false;
        }
    }
    return true;
}

// A value that would only turn into a string by accident (an object, a URL,
// a Buffer, null) is refused rather than passed on as "[object Object]".
bool checkValue(const std::string& name, const Napi::Value& value, ErrorInfo& error) {
    std::string expected = "a string, number or boolean";
    bool ok = value.IsString() || value.IsNumber() || value.IsBoolean();
    if (compareString(name, "hosts", false)) {
        expected = "an array of host objects or a \"host:port,...\" string";
        ok = value.IsArray() || value.IsString();
    } else if (compareString(name, "key", false) || compareString(name, "cert", false) ||
               compareString(name, "ca", false)) {
        expected = "a string, a Buffer or an array of them";
        ok = isTextList(value);
    }
    if (ok) {
        return true;
    }
    return refuse("Connection property \"" + name + "\" must be " + expected + ", not " +
                      getJSTypeName(getJSType(value)),
                  error);
}

}  // namespace

bool checkConnectionStringNames(const std::string& connStr, ErrorInfo& error) {
    std::string unread;
    for (const auto& pair : parseConnectionString(connStr, unread)) {
        if (!checkUnknown(pair.first, false, error)) {
            return false;
        }
    }
    // A path or URL given as the string would otherwise open a private
    // in-memory database without a word. The text is not quoted: it may
    // hold a password.
    if (unread.find_first_not_of(" ;") != std::string::npos) {
        return refuse("Connection string text from position " + std::to_string(connStr.size() - unread.size()) +
                          " on is not a name=value pair",
                      error);
    }
    return true;
}

bool getConnectionString(Napi::Env env, const Napi::Object& params, std::string& connStr,
                         std::vector<std::string*>& propNames, std::vector<std::string*>& propValues,
                         ErrorInfo& error) {
    PropertyWriter writer(propNames, propValues);
    std::string hosts;
    HostParts server;
    SecurityParts security;
    Napi::Array keys = ownKeys(env, params);
    for (uint32_t i = 0; i < keys.Length(); i++) {
        Napi::Value key = keys.Get(i);
        std::string name;
        convertToString(key, name);
        Napi::Value value = params.Get(key);
        if (env.IsExceptionPending()) {
            return false;
        }
        if (!checkUnknown(name, isParameterKey(name), error) || !checkValue(name, value, error)) {
            return false;
        }
        readParameter(name, value, hosts, server, security, writer);
    }
    if (!hosts.empty()) {
        writer.add("ServerNode", hosts);
    }
    if (!server.host.empty()) {
        writer.add("ServerNode", serverAddress(server.host, server.port, server.instance, !server.database.empty()));
    }
    if (!server.database.empty()) {
        writer.add("databaseName", server.database);
    }
    addSecurity(security, writer);
    connStr = writer.text();
    return true;
}

bool checkProperty(ConnectionSettings& settings, const char* name, char* value) {
    return checkProperty(settings, kPoolSwitches, name, value);
}

std::string getConnectionProperties(ConnectionSettings& settings, const std::string& connStr) {
    return getConnectionProperties(settings, kPoolSwitches, connStr);
}

void getConnectionProperties(ConnectionSettings& settings, std::vector<std::string*>& propNames,
                             std::vector<std::string*>& propValues) {
    getConnectionProperties(settings, kPoolSwitches, propNames, propValues);
}
