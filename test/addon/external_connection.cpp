// Test-only addon: opens a connection through the client library on its own,
// as another owner in the process would, and hands out the handle's number.
#include <dlfcn.h>
#include <napi.h>

#include <cstdint>

#include "dbcapi/dbcapi.h"

namespace {

struct Library {
    void* handle = nullptr;
    dbcapi_connection* (*newConnection)() = nullptr;
    dbcapi_bool (*connect)(dbcapi_connection*, const char*) = nullptr;
    dbcapi_bool (*disconnect)(dbcapi_connection*) = nullptr;
    void (*freeConnection)(dbcapi_connection*) = nullptr;
    dbcapi_bool (*executeImmediate)(dbcapi_connection*, const char*) = nullptr;
};

Library lib;

template <typename F>
void resolve(F& target, const char* name) {
    target = reinterpret_cast<F>(dlsym(lib.handle, name));
}

Napi::Value open(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (lib.handle == nullptr) {
        lib.handle = dlopen(info[0].As<Napi::String>().Utf8Value().c_str(), RTLD_LAZY);
        if (lib.handle == nullptr) {
            Napi::Error::New(env, dlerror()).ThrowAsJavaScriptException();
            return env.Undefined();
        }
        resolve(lib.newConnection, "dbcapi_new_connection");
        resolve(lib.connect, "dbcapi_connect");
        resolve(lib.disconnect, "dbcapi_disconnect");
        resolve(lib.freeConnection, "dbcapi_free_connection");
        resolve(lib.executeImmediate, "dbcapi_execute_immediate");
    }
    dbcapi_connection* conn = lib.newConnection();
    if (!lib.connect(conn, info[1].As<Napi::String>().Utf8Value().c_str())) {
        lib.freeConnection(conn);
        Napi::Error::New(env, "connect failed").ThrowAsJavaScriptException();
        return env.Undefined();
    }
    return Napi::Number::New(env, static_cast<double>(reinterpret_cast<uintptr_t>(conn)));
}

dbcapi_connection* fromNumber(const Napi::Value& value) {
    return reinterpret_cast<dbcapi_connection*>(static_cast<uintptr_t>(value.As<Napi::Number>().Int64Value()));
}

Napi::Value execute(const Napi::CallbackInfo& info) {
    bool ok = lib.executeImmediate(fromNumber(info[0]), info[1].As<Napi::String>().Utf8Value().c_str());
    return Napi::Boolean::New(info.Env(), ok);
}

Napi::Value close(const Napi::CallbackInfo& info) {
    dbcapi_connection* conn = fromNumber(info[0]);
    lib.disconnect(conn);
    lib.freeConnection(conn);
    return info.Env().Undefined();
}

// The client library's count of handles not yet freed; path names the
// library the module loaded, so dlopen hands back that same instance.
Napi::Value liveCounts(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    void* handle = dlopen(info[0].As<Napi::String>().Utf8Value().c_str(), RTLD_LAZY | RTLD_NOLOAD);
    auto counts = handle ? reinterpret_cast<void (*)(int*, int*)>(dlsym(handle, "zkv_debug_live_counts")) : nullptr;
    if (counts == nullptr) {
        if (handle) dlclose(handle);
        Napi::Error::New(env, "client library not loaded or without live counts").ThrowAsJavaScriptException();
        return env.Undefined();
    }
    int connections = 0;
    int statements = 0;
    counts(&connections, &statements);
    dlclose(handle);
    Napi::Object result = Napi::Object::New(env);
    result.Set("connections", connections);
    result.Set("statements", statements);
    return result;
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    exports.Set("liveCounts", Napi::Function::New(env, liveCounts));
    exports.Set("open", Napi::Function::New(env, open));
    exports.Set("execute", Napi::Function::New(env, execute));
    exports.Set("close", Napi::Function::New(env, close));
    return exports;
}

}  // namespace

NODE_API_MODULE(external_connection, Init)
