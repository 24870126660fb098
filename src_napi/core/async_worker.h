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
class AsyncWorker;

// Runs a worker on the runtime's own thread pool, for when the module's
// pool cannot be used; it deletes itself after the completion.
template <typename T>
class RuntimePoolJob : public Napi::AsyncWorker {
public:
    RuntimePoolJob(Napi::Env env, ::AsyncWorker<T>* worker) : Napi::AsyncWorker(env, "generic"), worker_(worker) {}
    void Execute() override { worker_->Execute(); }
    void OnOK() override { worker_->OnOK(); }

private:
    ::AsyncWorker<T>* worker_;
};

// Holds no runtime async work: the module's pool runs the job and the
// completion is called from the pipe's reader, so an async resource per
// call would only be made and dropped.
template <typename T>
class AsyncWorker {
public:
    typedef void (T::*WorkFn)(ErrorInfo& error, void* baton);
    // Runs after the work in every case. The work's error is reported here,
    // not by the after-function: it only skips its result when error is set.
    typedef Napi::Value (T::*AfterFn)(ErrorInfo& error, void* baton, Napi::Env env);

    // Pins object's JavaScript wrapper until the completion has run.
    AsyncWorker(Napi::Function callback, T* object, void* baton, WorkFn work, AfterFn after, Connection* connection)
        : env_(callback.Env()),
          callback_(Napi::Persistent(callback)),
          object_(object),
          baton_(baton),
          work_(work),
          after_(after),
          connection_(connection) {
        if (object_ != nullptr) {
            object_->Ref();
        }
    }

    // Delivers an error found before any work; nothing is pinned.
    AsyncWorker(Napi::Function callback, const ErrorInfo* error)
        : AsyncWorker(callback, nullptr, nullptr, nullptr, nullptr, nullptr) {
        if (error != nullptr) {
            error_ = *error;
        }
    }

    AsyncWorker(const AsyncWorker&) = delete;
    AsyncWorker& operator=(const AsyncWorker&) = delete;

    void QueueClient() {
        if (should_use_old_threadpool()) {
            (new RuntimePoolJob<T>(env_, this))->Queue();
            return;
        }
        job_.data = this;
        job_.execute = work_ != nullptr ? &AsyncWorker::executeJob : nullptr;
        job_.complete = &AsyncWorker::completeJob;
        job_.discard = &AsyncWorker::discardJob;
        zelk_queue_work(env_, &job_, connection_);
    }

    void Execute() {
        if (work_ == nullptr || error_.isSet()) {
            return;
        }
        (object_->*work_)(error_, baton_);
    }

    void OnOK() {
        Napi::HandleScope scope(env_);
        if (object_ != nullptr) {
            object_->Unref();
        }
        deliver(env_);
        delete this;
    }

private:
    static void executeJob(void* data) { static_cast<AsyncWorker*>(data)->Execute(); }
    static void completeJob(void* data) { static_cast<AsyncWorker*>(data)->OnOK(); }
    static void discardJob(void* data) { delete static_cast<AsyncWorker*>(data); }

    void deliver(Napi::Env env) {
        if (error_.isSet()) {
            Napi::Error error = createError(env, error_);
            if (after_ != nullptr) {
                (object_->*after_)(error_, baton_, env);
            }
            callback_.Call({error.Value()});
            return;
        }
        if (after_ == nullptr) {
            callback_.Call({env.Undefined()});
            return;
        }
        Napi::Value result = (object_->*after_)(error_, baton_, env);
        if (error_.isSet()) {
            callback_.Call({createError(env, error_).Value()});
        } else if (result.IsEmpty() || result.IsUndefined()) {
            callback_.Call({env.Undefined()});
        } else {
            callback_.Call({env.Undefined(), result});
        }
    }

    Napi::Env env_;
    Napi::FunctionReference callback_;
    ErrorInfo error_;
    T* object_;
    void* baton_;
    WorkFn work_;
    AfterFn after_;
    Connection* connection_;
    zelk_work_t job_;
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
