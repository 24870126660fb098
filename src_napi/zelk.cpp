// Module entry: registers "zelk", defines its classes and module functions,
// and loads the client library on request of the JavaScript layer.
// The rest of the module, one folder per layer:
//   core/        async worker and worker pool, error records, argument checks
//   connection/  Connection, exec, prepare, pool, connection strings, locking
//   statement/   Statement: execute, batches, parameter data, descriptions
//   params/      JavaScript values to bind records, and bind-and-execute
//   results/     fetching, value rules, result transport, ResultSet
#include <napi.h>
#include <uv.h>

#include <mutex>
#include <sstream>
#include <string>

#include "arguments.h"
#include "connection.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "environment.h"
#include "js_errors.h"
#include "pool.h"
#include "resultset.h"
#include "statement.h"
#include "thread.h"

namespace {

const char* const kExpectedVersion = "libdbcapiZKV 2.11.020.1644165757";
const char* const kDriverVersionLine = "node.js driver version: 2.11.020.1644165757.";
const size_t kVersionBufferSize = 256;

uv_mutex_t g_api_mutex;
std::ostringstream VERSION_STRING;

Napi::Value CreateConnection(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    Napi::Value arg = info.Length() > 0 ? info[0] : env.Undefined();
    Napi::Value object = Connection::NewInstance(arg);
    if (object.IsEmpty() || env.IsExceptionPending()) {
        return env.Undefined();
    }
    Connection* connection = Connection::Unwrap(object.As<Napi::Object>());
    if (connection->constructionError().isSet()) {
        checkError(env, connection->constructionError());
        return env.Undefined();
    }
    return object;
}

Napi::Value getDriverVersion(const Napi::CallbackInfo& info) {
    return Napi::String::New(info.Env(), VERSION_STRING.str());
}

Napi::Value setConnectionPoolLimit(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    unsigned masks[] = {JS_NUMBER};
    if (!checkParameters(info, "setConnectionPoolLimit(conntionPoolLimit)", 1, masks, nullptr, nullptr, nullptr)) {
        return env.Null();
    }
    // Fractions are cut off; NaN, infinities and negative limits are refused.
    double requested = info[0].As<Napi::Number>().DoubleValue();
    if (!(requested >= 0 && requested <= INT32_MAX)) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, "Invalid connection pool limit.", "HY000", -1);
        return env.Null();
    }
    ErrorInfo error;
    {
        PoolLock lock;
        int limit = static_cast<int>(requested);
        int pooled = g_conn_pool_manager.getConnectionCount();
        if (limit != 0 && pooled > limit) {
            error = ErrorInfo(JS_ERR_INVALID_ARGUMENTS,
                              "The connection pool limit cannot be less than the number of pooled connections(" +
                                  std::to_string(pooled) + ").",
                              "HY000");
        } else {
            g_max_pool_size = limit;
        }
    }
    if (error.isSet()) {
        throwError(info, error, -1);
    }
    return env.Null();
}

// Reports a load failure; the load itself still completes.
void reportLoadError(const Napi::CallbackInfo& info, const std::string& message) {
    throwError(info, JS_ERR_INITIALIZING_DBCAPI, message, "HY000", -1);
}

void checkLibraryVersion(const Napi::CallbackInfo& info) {
    char version[kVersionBufferSize] = {0};
    if (g_api.dbcapi_client_version == nullptr || !g_api.dbcapi_client_version(version, sizeof(version))) {
        reportLoadError(info, std::string("Invalid DBCAPI version.  Expected '") + kExpectedVersion + "'.");
        return;
    }
    if (std::string(version) != kExpectedVersion) {
        reportLoadError(info, std::string("Invalid libdbcapiZKV version.  Expected '") + kExpectedVersion +
                                  "', but found '" + version + "'.");
    }
}

Napi::Value loadDbcapi(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    // A non-string leaves the conversion's exception pending and an empty
    // path; the load still goes on.
    std::string path = info[0].As<Napi::String>().Utf8Value();
    if (g_api.initialized) {
        return env.Undefined();
    }
    uv_mutex_lock(&g_api_mutex);
    if (!g_api.initialized) {
        uint32_t maxVersion = 0;
        if (!dbcapi_initialize_interface(&g_api, path.empty() ? nullptr : path.c_str()) || !g_api.dbcapi_init("Node.js", 2, &maxVersion)) {
            reportLoadError(info, "Failed to load DBCAPI.");
        } else {
            checkLibraryVersion(info);
        }
        VERSION_STRING << kDriverVersionLine;
    }
    uv_mutex_unlock(&g_api_mutex);
    return env.Undefined();
}

Napi::Value getPipe(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    int fd = 0;
    std::string endpoint;
    create_pipe(env, fd, endpoint);
    Napi::Object result = Napi::Object::New(env);
    result.Set("fd", Napi::Number::New(env, fd));
    result.Set("IPCEndpoint", Napi::String::New(env, endpoint));
    return result;
}

Napi::Value runCallbacks(const Napi::CallbackInfo& info) {
    run_callbacks(info.Env());
    return info.Env().Undefined();
}

Napi::Value stopAllWork(const Napi::CallbackInfo& info) {
    zelk_stop_all_work();
    int count = 0;
    g_conn_pool_manager.clearPool(count);
    return info.Env().Undefined();
}

Napi::Value setRefFns(const Napi::CallbackInfo& info) {
    set_ref_fns(info.Env(), info[0].As<Napi::Function>(), info[1].As<Napi::Function>());
    return info.Env().Undefined();
}

Napi::Value setAddFnsThatAddMethodsToObjects(const Napi::CallbackInfo& info) {
    ModuleEnvironment& state = moduleEnvironment(info.Env());
    state.addConnectionMethods = Napi::Persistent(info[0].As<Napi::Function>());
    state.addStatementMethods = Napi::Persistent(info[1].As<Napi::Function>());
    return info.Env().Undefined();
}

// Once per environment: the main thread's and every worker thread's.
Napi::Object InitAll(Napi::Env env, Napi::Object exports) {
    static std::once_flag apiMutexInitialised;
    std::call_once(apiMutexInitialised, [] { uv_mutex_init(&g_api_mutex); });
    initModuleEnvironment(env);
    Connection::Init(env, exports);
    Statement::Init(env, exports);
    ResultSet::Init(env, exports);
    exports.Set("createConnection", Napi::Function::New(env, CreateConnection, "createConnection"));
    exports.Set("createClient", Napi::Function::New(env, CreateConnection, "createClient"));
    exports.Set("setConnectionPoolLimit", Napi::Function::New(env, setConnectionPoolLimit, "setConnectionPoolLimit"));
    exports.Set("getDriverVersion", Napi::Function::New(env, getDriverVersion, "getDriverVersion"));
    exports.Set("__loadDbcapi", Napi::Function::New(env, loadDbcapi, "__loadDbcapi"));
    exports.Set("__getPipe", Napi::Function::New(env, getPipe, "__getPipe"));
    exports.Set("__runCallbacks", Napi::Function::New(env, runCallbacks, "__runCallbacks"));
    exports.Set("__stopAllWork", Napi::Function::New(env, stopAllWork, "__stopAllWork"));
    exports.Set("__setRefFunctions", Napi::Function::New(env, setRefFns, "__setRefFunctions"));
    exports.Set("__setAddFnsThatAddMethodsToObjects",
                Napi::Function::New(env, setAddFnsThatAddMethodsToObjects, "__setAddFnsThatAddMethodsToObjects"));
    return exports;
}

napi_value RegisterZelk(napi_env env, napi_value exports) {
    return Napi::RegisterModule(env, exports, InitAll);
}

napi_module zelkModule = {1, 0, __FILE__, RegisterZelk, "zelk", nullptr, {nullptr}};

}  // namespace

// Registered at load time, before Node-API asks for the module's exports.
__attribute__((constructor)) static void _register_zelk() {
    napi_module_register(&zelkModule);
}
