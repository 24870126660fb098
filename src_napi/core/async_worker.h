// Runs a method's work function off the JavaScript thread and its
// after-function on it, reporting through an error-first callback; or runs
// both on the calling thread when the method got no callback.
// core/ holds what every layer uses: this wrapper, the worker pool
// (thread.h), error records and JavaScript errors, argument checks.
#ifndef ZELK_ASYNC_WORKER_H
#define ZELK_ASYNC_WORKER_H

#include <napi.h>

#include "js_errors.h"
#include "thread.h"

class Connection;

// Owns one baton; after-functions wrap theirs so it is freed on every path.
template <typename B>
class SmartPointer {
public:
    explicit SmartPointer(B* baton) : baton_(baton) {}
    ~SmartPointer() { delete baton_; }
    SmartPointer(const SmartPointer&) = delete;
    SmartPointer& operator=(const SmartPointer&) = delete;
    B* get() const { return baton_; }
    B* operator->() const { return baton_; }
    B& operator*() const { return *baton_; }
    B* release() {
        B* b = baton_;
        baton_ = nullptr;
        return b;
    }

private:
    B* baton_;
};

template <typename T>
class AsyncWorker : public Napi::AsyncWorker {
public:
    typedef void (T::*WorkFn)(ErrorInfo& error, void* baton);
    // Runs after the work in every case. The work's error is reported here,
    // not by the after-function: it only skips its result when error is set.
    typedef Napi::Value (T::*AfterFn)(ErrorInfo& error, void* baton, Napi::Env env);

    // Pins object's JavaScript wrapper until the completion has run.
    AsyncWorker(Napi::Function callback, T* object, void* baton, WorkFn work, AfterFn after, Connection* connection)
        : Napi::AsyncWorker(callback, "generic"),
          object_(object),
          baton_(baton),
          work_(work),
          after_(after),
          connection_(connection),
          queuedOnRuntimePool_(false) {
        if (object_ != nullptr) {
            object_->Ref();
        }
    }

    // Delivers an error found before any work; nothing is pinned.
    AsyncWorker(Napi::Function callback, const ErrorInfo* error)
        : Napi::AsyncWorker(callback, "generic"),
          object_(nullptr),
          baton_(nullptr),
          work_(nullptr),
          after_(nullptr),
          connection_(nullptr),
          queuedOnRuntimePool_(false) {
        if (error != nullptr) {
            error_ = *error;
        }
    }

    void QueueClient() {
        if (should_use_old_threadpool()) {
            queuedOnRuntimePool_ = true;
            Queue();
            return;
        }
        zelk_work_t* job = new zelk_work_t;
        job->data = this;
        job->execute = work_ != nullptr ? &AsyncWorker::executeJob : nullptr;
        job->complete = &AsyncWorker::completeJob;
        job->discard = &AsyncWorker::discardJob;
        zelk_queue_work(Env(), job, connection_);
    }

    void Execute() override {
        if (work_ == nullptr || error_.isSet()) {
            return;
        }
        (object_->*work_)(error_, baton_);
    }

    void OnOK() override {
        Napi::Env env = Env();
        Napi::HandleScope scope(env);
        if (object_ != nullptr) {
            object_->Unref();
        }
        deliver(env);
        if (!queuedOnRuntimePool_) {
            Destroy();
        }
    }

private:
    static void executeJob(void* data) { static_cast<AsyncWorker*>(data)->Execute(); }
    static void completeJob(void* data) { static_cast<AsyncWorker*>(data)->OnOK(); }
    static void discardJob(void* data) { static_cast<AsyncWorker*>(data)->Destroy(); }

    void deliver(Napi::Env env) {
        if (error_.isSet()) {
            Napi::Error error = createError(env, error_);
            if (after_ != nullptr) {
                (object_->*after_)(error_, baton_, env);
            }
            Callback().Call({error.Value()});
            return;
        }
        if (after_ == nullptr) {
            Callback().Call({env.Undefined()});
            return;
        }
        Napi::Value result = (object_->*after_)(error_, baton_, env);
        if (error_.isSet()) {
            Callback().Call({createError(env, error_).Value()});
        } else if (result.IsEmpty() || result.IsUndefined()) {
            Callback().Call({env.Undefined()});
        } else {
            Callback().Call({env.Undefined(), result});
        }
    }

    ErrorInfo error_;
    T* object_;
    void* baton_;
    WorkFn work_;
    AfterFn after_;
    Connection* connection_;
    bool queuedOnRuntimePool_;
};

// Hands e to callback from a completion, so never before the caller returns.
void queueErrorCallback(Napi::Function callback, const ErrorInfo& e);

// The method pattern: with a callback queue the pair and return undefined;
// without one run both here, throwing the work's error.
template <typename T>
Napi::Value runWork(const Napi::CallbackInfo& info, int callbackIndex, T* object, void* baton,
                    typename AsyncWorker<T>::WorkFn work, typename AsyncWorker<T>::AfterFn after,
                    Connection* connection) {
    Napi::Env env = info.Env();
    if (callbackIndex >= 0) {
        auto* worker = new AsyncWorker<T>(info[callbackIndex].As<Napi::Function>(), object, baton, work, after,
                                          connection);
        worker->QueueClient();
        return env.Undefined();
    }
    ErrorInfo error;
    (object->*work)(error, baton);
    bool workFailed = error.isSet();
    checkError(env, error);
    Napi::Value result = after != nullptr ? (object->*after)(error, baton, env) : env.Undefined();
    if (!workFailed && !env.IsExceptionPending()) {
        checkError(env, error);
    }
    if (env.IsExceptionPending() || result.IsEmpty()) {
        return env.Undefined();
    }
    return result;
}

#endif
