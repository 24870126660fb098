// What the module keeps for each Node.js environment that loads it: the main
// thread and every worker thread. Classes, the JavaScript layer's hooks and
// the delivery of completions are the environment's own; the client library,
// the worker pool and the connection pool are the process's.
#ifndef ZELK_ENVIRONMENT_H
#define ZELK_ENVIRONMENT_H

#include <napi.h>

struct CompletionQueue;  // thread.cpp

struct ModuleEnvironment {
    Napi::FunctionReference connectionClass;
    Napi::FunctionReference statementClass;
    Napi::FunctionReference resultSetClass;
    Napi::FunctionReference addConnectionMethods;
    Napi::FunctionReference addStatementMethods;
    CompletionQueue* completions = nullptr;  // ended and freed by the cleanup hook
};

// Made once per environment as the module initialises there.
void initModuleEnvironment(Napi::Env env);
ModuleEnvironment& moduleEnvironment(Napi::Env env);

#endif
