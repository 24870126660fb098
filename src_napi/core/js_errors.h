// Where an ErrorInfo becomes a JavaScript Error: thrown when the call has no
// callback, handed to the callback (after the method returned) when it has.
#ifndef ZELK_ERRORS_H
#define ZELK_ERRORS_H

#include <napi.h>
#include <uv.h>

#include "error_info.h"

Napi::Error createError(Napi::Env env, const ErrorInfo& e);
// Throws e when it holds an error; used at the end of every synchronous call.
void checkError(Napi::Env env, const ErrorInfo& e);

void throwError(const Napi::CallbackInfo& info, const ErrorInfo& e, int callbackIndex);
void throwError(const Napi::CallbackInfo& info, int code, const char* message, const char* sqlState,
                int callbackIndex);
void throwError(const Napi::CallbackInfo& info, int code, const std::string& message, const std::string& sqlState,
                int callbackIndex);
void throwError(const Napi::CallbackInfo& info, dbcapi_connection* conn, int callbackIndex);
void throwError(const Napi::CallbackInfo& info, int code, int callbackIndex);
void throwErrorIP(const Napi::CallbackInfo& info, int index, const char* functionSignature, const char* expected,
                  const char* received, int callbackIndex);

bool mutexInit(uv_mutex_t* m, ErrorInfo* e, bool* ok);
bool condInit(uv_cond_t* c, ErrorInfo* e, bool* ok);

unsigned getJSType(const Napi::Value& value);
// Node-API calls every view of an ArrayBuffer a buffer, but reads the bytes
// of typed arrays only: a DataView is no buffer here.
bool isNodeBuffer(napi_env env, napi_value value);

#endif
