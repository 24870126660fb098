// The worker pool. A job of a connection waits behind that connection's
// queued or running job; finished jobs go on the done list and one byte on
// the pipe wakes the JavaScript thread, which runs their completions.
//
// Locks: m guards every list, map, counter and flag below; async_send_mutex
// guards only the pipe write and is never held together with m. Neither is
// held while a job's execute or complete function runs.
#include "thread.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <list>
#include <map>

#include "Execution/RunOnce.h"
#include "Execution/Thread.h"
#include "Synchronization/CondVariable.h"
#include "Synchronization/Mutex.h"

namespace {

struct conn_work_t {
    zelk_work_t* work;
    Connection* conn;
};

class WorkerThread : public ExecutionClient::Thread {
public:
    explicit WorkerThread(bool isTemporary) : Thread("WorkerThread"), temporary(isTemporary) {}
    const bool temporary;

protected:
    void run(void*& result) override;
};

class TimerThread : public ExecutionClient::Thread {
public:
    TimerThread() : Thread("TimerThread") {}

protected:
    void run(void*& result) override;
};

std::deque<conn_work_t> todo;
std::deque<conn_work_t> done;
std::map<Connection*, std::deque<zelk_work_t*>> conn_queue;
std::list<WorkerThread*> threads;
std::list<WorkerThread*> running_temps;
std::list<WorkerThread*> finished_temps;
TimerThread* timerThread = nullptr;
int threadCount = 0;
int working = 0;
int temp_working = 0;
int completed_work = 0;
bool die = false;
bool stopped_all_work = false;
bool use_uv_threadpool = false;
bool use_dl_prevention = true;
int default_interval = 1024;
int timer_interval = 1024;
bool pool_started = false;

SynchronizationClient::Mutex m("scheduler", "thread");
SynchronizationClient::Mutex async_send_mutex("pipe", "thread");
SynchronizationClient::CondVariable* cv = nullptr;
SynchronizationClient::CondVariable* cv_timer = nullptr;
int p[2] = {0, 0};

Napi::FunctionReference refPipe;
Napi::FunctionReference unrefPipe;

const int kMinInterval = 100;
const int kMinBudget = 100;

void async_send() {
    async_send_mutex.lock();
    if (write(p[1], "0", 1) != 1) {
        fprintf(stderr, "error writing\n");
    }
    async_send_mutex.unlock();
}

int poolSizeFromEnvironment() {
    const char* value = getenv("ZKV_NODEJS_THREADPOOL_SIZE");
    if (value == nullptr) {
        value = getenv("UV_THREADPOOL_SIZE");
    }
    if (value == nullptr) {
        return 4;
    }
    long size = strtol(value, nullptr, 10);
    return size < 1 ? 1 : (size > 1024 ? 1024 : static_cast<int>(size));
}

void startThread(ExecutionClient::Thread* thread) {
    if (!thread->start(0)) {
        fprintf(stderr, "zelk: cannot start a worker thread\n");
        abort();
    }
}

void zelk_threadpool_init(void*) {
    cv = new SynchronizationClient::CondVariable("workers");
    cv_timer = new SynchronizationClient::CondVariable("timer");
    threadCount = poolSizeFromEnvironment();
    for (int i = 0; i < threadCount; i++) {
        auto* worker = new WorkerThread(false);
        threads.push_back(worker);
        startThread(worker);
    }
    timerThread = new TimerThread();
    startThread(timerThread);
}

// Called with m held after a job finished: its connection's next job, if
// any, becomes ready.
void releaseConnection(Connection* conn) {
    auto entry = conn_queue.find(conn);
    if (entry == conn_queue.end()) {
        return;
    }
    if (entry->second.empty()) {
        conn_queue.erase(entry);
        return;
    }
    todo.push_back({entry->second.front(), conn});
    entry->second.pop_front();
}

void WorkerThread::run(void*&) {
    m.lock();
    for (;;) {
        while (todo.empty()) {
            if (temporary || die) {
                m.unlock();
                return;
            }
            cv->wait(m);
        }
        conn_work_t item = todo.front();
        todo.pop_front();
        int& counter = temporary ? temp_working : working;
        counter++;
        m.unlock();
        item.work->execute(item.work->data);
        m.lock();
        counter--;
        completed_work++;
        done.push_back(item);
        releaseConnection(item.conn);
        if (temporary) {
            running_temps.remove(this);
            finished_temps.push_back(this);
        }
        m.unlock();
        async_send();
        if (temporary) {
            return;
        }
        m.lock();
    }
}

void joinAndDelete(std::list<WorkerThread*>& list) {
    for (WorkerThread* thread : list) {
        void* result = nullptr;
        thread->join(result);
        delete thread;
    }
    list.clear();
}

// Adds one temporary worker per period while every permanent worker is busy
// and none finished a job; the period halves down to kMinInterval.
void TimerThread::run(void*&) {
    m.lock();
    cv_timer->timedWait(m, static_cast<unsigned long>(timer_interval) * 1000);
    while (!die) {
        if (use_dl_prevention) {
            joinAndDelete(finished_temps);
            if (working >= threadCount && completed_work == 0 && !todo.empty() && !die) {
                timer_interval = timer_interval / 2 < kMinInterval ? kMinInterval : timer_interval / 2;
                auto* worker = new WorkerThread(true);
                startThread(worker);
                running_temps.push_back(worker);
            } else {
                timer_interval = default_interval;
            }
            completed_work = 0;
        }
        m.unlock();
        m.lock();
        cv_timer->timedWait(m, static_cast<unsigned long>(timer_interval) * 1000);
    }
    m.unlock();
}

// A pending exception would make the call fail and leave the process
// referenced; it is set aside for the call and raised again afterwards.
void unrefWithException(Napi::Env env) {
    if (!env.IsExceptionPending()) {
        unrefPipe.Call({});
        return;
    }
    Napi::Error error = env.GetAndClearPendingException();
    unrefPipe.Call({});
    error.ThrowAsJavaScriptException();
}

}  // namespace

void zelk_queue_work(zelk_work_t* work, Connection* conn) {
    ExecutionClient::runOnce(zelk_threadpool_init, nullptr, pool_started);
    m.lock();
    if (work->execute == nullptr) {
        done.push_back({work, conn});
        m.unlock();
        async_send();
        m.lock();
    } else if (conn != nullptr && conn_queue.count(conn) != 0) {
        conn_queue[conn].push_back(work);
    } else {
        if (conn != nullptr) {
            conn_queue[conn];
        }
        todo.push_back({work, conn});
    }
    if (!refPipe.IsEmpty()) {
        refPipe.Call({});
    }
    m.unlock();
    // After a stop there is no worker to wake.
    if (cv != nullptr) {
        cv->signal();
    }
}

void run_callbacks(Napi::Env env) {
    m.lock();
    size_t budget = done.size() < kMinBudget ? kMinBudget : done.size();
    while (!done.empty()) {
        conn_work_t item = done.front();
        done.pop_front();
        m.unlock();
        item.work->complete(item.work->data);
        delete item.work;
        m.lock();
        // After a callback threw, the rest wait for the next wake-up so that
        // the caller sees the exception first.
        if (env.IsExceptionPending() || --budget == 0) {
            break;
        }
    }
    bool more = !done.empty();
    bool idle = !more && todo.empty() && conn_queue.empty() && working == 0 && temp_working == 0;
    if (idle) {
        timer_interval = default_interval;
        if (!unrefPipe.IsEmpty()) {
            unrefWithException(env);
        }
    }
    m.unlock();
    if (more) {
        async_send();
    }
}

void zelk_stop_all_work() {
    stopped_all_work = true;
    // Not started or stopped already. A pool stopped before its first job
    // never starts, so work queued after a stop is never run.
    if (cv == nullptr) {
        ExecutionClient::runOnce([](void*) {}, nullptr, pool_started);
        return;
    }
    m.lock();
    todo.clear();
    die = true;
    m.unlock();
    cv->broadcast();
    cv_timer->signal();
    joinAndDelete(threads);
    joinAndDelete(running_temps);
    void* result = nullptr;
    timerThread->join(result);
    delete timerThread;
    timerThread = nullptr;
    joinAndDelete(finished_temps);
    delete cv;
    delete cv_timer;
    cv = nullptr;
    cv_timer = nullptr;
}

bool zelk_stopped_all_work() {
    return stopped_all_work;
}

int create_pipe(int& fd, std::string& endpoint) {
    endpoint.clear();
    int result = pipe(p);
    if (result != 0) {
        use_uv_threadpool = true;
    }
    fd = p[0];
    return result;
}

void set_ref_fns(Napi::Function ref, Napi::Function unref) {
    refPipe.Reset();
    unrefPipe.Reset();
    refPipe = Napi::Persistent(ref);
    unrefPipe = Napi::Persistent(unref);
    refPipe.SuppressDestruct();
    unrefPipe.SuppressDestruct();
}

void zelk_use_uv_threadpool(bool use) {
    use_uv_threadpool = use;
}

void zelk_prevent_deadlock(bool prevent) {
    use_dl_prevention = prevent;
}

void zelk_set_interval(int milliseconds) {
    default_interval = milliseconds;
}

bool should_use_old_threadpool() {
    return use_uv_threadpool;
}
