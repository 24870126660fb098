#include "js_errors.h"

#include "async_worker.h"

Napi::Error createError(Napi::Env env, const ErrorInfo& e) {
    Napi::Error error = Napi::Error::New(env, e.message);
    Napi::Object object = error.Value();
    object.Set("code", Napi::Number::New(env, e.code));
    object.Set("message", Napi::String::New(env, e.message));
    object.Set("sqlState", Napi::String::New(env, e.sqlState));
    return error;
}

void checkError(Napi::Env env, const ErrorInfo& e) {
    if (e.isSet() && !env.IsExceptionPending()) {
        createError(env, e).ThrowAsJavaScriptException();
    }
}

void throwError(const Napi::CallbackInfo& info, const ErrorInfo& e, int callbackIndex) {
    // An argument's getter or proxy threw while it was read: that exception
    // reaches the script, and no callback is queued beside it.
    if (info.Env().IsExceptionPending()) {
        return;
    }
    if (callbackIndex < 0) {
        createError(info.Env(), e).ThrowAsJavaScriptException();
        return;
    }
    queueErrorCallback(info[callbackIndex].As<Napi::Function>(), e);
}

void throwError(const Napi::CallbackInfo& info, int code, const char* message, const char* sqlState,
                int callbackIndex) {
    throwError(info, ErrorInfo(code, message, sqlState), callbackIndex);
}

void throwError(const Napi::CallbackInfo& info, int code, const std::string& message, const std::string& sqlState,
                int callbackIndex) {
    throwError(info, ErrorInfo(code, message, sqlState), callbackIndex);
}

void throwError(const Napi::CallbackInfo& info, dbcapi_connection* conn, int callbackIndex) {
    ErrorInfo e;
    getErrorMsg(conn, e);
    throwError(info, e, callbackIndex);
}

void throwError(const Napi::CallbackInfo& info, int code, int callbackIndex) {
    ErrorInfo e;
    getErrorMsg(code, e);
    throwError(info, e, callbackIndex);
}

void throwErrorIP(const Napi::CallbackInfo& info, int index, const char* functionSignature, const char* expected,
                  const char* received, int callbackIndex) {
    ErrorInfo e;
    getErrorMsgIP(index, functionSignature, expected, received, e);
    throwError(info, e, callbackIndex);
}

bool mutexInit(uv_mutex_t* m, ErrorInfo* e, bool* ok) {
    int err = uv_mutex_init(m);
    if (ok != nullptr) {
        *ok = (err == 0);
    }
    if (err != 0 && e != nullptr) {
        *e = ErrorInfo(JS_ERR_MUTEX_INIT, mutexInitMessage(-err), "HY000");
    }
    return err == 0;
}

bool condInit(uv_cond_t* c, ErrorInfo* e, bool* ok) {
    int err = uv_cond_init(c);
    if (ok != nullptr) {
        *ok = (err == 0);
    }
    if (err != 0 && e != nullptr) {
        *e = ErrorInfo(JS_ERR_COND_INIT, condInitMessage(-err), "HY000");
    }
    return err == 0;
}

bool isNodeBuffer(napi_env env, napi_value value) {
    bool buffer = false;
    bool dataView = false;
    return napi_is_buffer(env, value, &buffer) == napi_ok && buffer &&
           napi_is_dataview(env, value, &dataView) == napi_ok && !dataView;
}

unsigned getJSType(const Napi::Value& value) {
    if (value.IsEmpty() || value.IsUndefined()) return JS_UNDEFINED;
    if (value.IsNull()) return JS_NULL;
    if (value.IsString()) return JS_STRING;
    if (value.IsBoolean()) return JS_BOOLEAN;
    if (value.IsNumber()) return JS_NUMBER;
    if (value.IsFunction()) return JS_FUNCTION;
    if (value.IsArray()) return JS_ARRAY;
    if (isNodeBuffer(value.Env(), value)) return JS_BUFFER;
    if (value.IsObject()) return JS_OBJECT;
    if (value.IsSymbol()) return JS_SYMBOL;
    return JS_UNKNOWN_TYPE;
}
