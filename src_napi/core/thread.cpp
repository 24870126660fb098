// The worker pool. A job of a connection waits behind that connection's
// queued or running job; finished jobs go on the done list of the Node.js
// environment that queued them, and one byte on that environment's pipe
// wakes its JavaScript thread, which runs their completions.
//
// Locks: m guards every list, map, counter and flag below, and the lists
// and counters of every CompletionQueue; async_send_mutex guards only the
// pipe write and is never held together with m. Neither is held while a
// job's execute or complete function runs.
#include "thread.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <list>
#include <map>
#include <vector>

#include "Execution/RunOnce.h"
#include "Execution/Thread.h"
#include "Synchronization/CondVariable.h"
#include "Synchronization/Mutex.h"
#include "environment.h"

// One per environment, made as the module initialises there.
struct CompletionQueue {
    std::deque<zelk_work_t*> done;
    int pending = 0;  // queued, waiting or running: not yet on done
    int writing = 0;  // wake-up bytes being written for finished jobs
    int pipe[2] = {-1, -1};
    Napi::FunctionReference ref;    // JavaScript thread only
    Napi::FunctionReference unref;  // JavaScript thread only
};

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
// A connection has an entry while one of its jobs is queued or running; a
// list, since an empty deque allocates and most entries never hold a job.
std::map<Connection*, std::list<zelk_work_t*>> conn_queue;
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
// Broadcast as a job of an ending environment stops running.
SynchronizationClient::CondVariable* cv_ended = nullptr;
int lastReadEnd = 0;

const int kMinInterval = 100;
const int kMinBudget = 100;

void async_send(CompletionQueue* queue) {
    async_send_mutex.lock();
    // EPIPE: the reader's environment is ending and wants no more wake-ups.
    if (write(queue->pipe[1], "0", 1) != 1 && errno != EPIPE) {
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
    cv_ended = new SynchronizationClient::CondVariable("ended");
    threadCount = poolSizeFromEnvironment();
    for (int i = 0; i < threadCount; i++) {
        auto* worker = new WorkerThread(false);
        threads.push_back(worker);
        startThread(worker);
    }
    timerThread = new TimerThread();
    startThread(timerThread);
    // When only worker threads used the module, no main-thread exit handler
    // stops the pool: the process's exit does, before the scheduler's
    // mutexes are destroyed under the waiting workers.
    atexit(zelk_stop_all_work);
}

// Called with m held: the job goes on its environment's done list and the
// pipe is woken. Until the byte is written the environment cannot end, so
// its pipe stays open.
void deliver(CompletionQueue* queue, zelk_work_t* work) {
    queue->done.push_back(work);
    queue->writing++;
    m.unlock();
    async_send(queue);
    m.lock();
    queue->writing--;
    if (cv_ended != nullptr) {
        cv_ended->broadcast();
    }
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
        while (todo.empty() || die) {
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
        CompletionQueue* queue = item.work->queue;
        queue->pending--;
        releaseConnection(item.conn);
        deliver(queue, item.work);
        // Listed as finished only now: the timer joins finished workers
        // while holding m, which deliver takes again.
        if (temporary) {
            running_temps.remove(this);
            finished_temps.push_back(this);
            m.unlock();
            return;
        }
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
void unrefWithException(Napi::Env env, Napi::FunctionReference& unref) {
    if (!env.IsExceptionPending()) {
        unref.Call({});
        return;
    }
    Napi::Error error = env.GetAndClearPendingException();
    unref.Call({});
    error.ThrowAsJavaScriptException();
}

CompletionQueue* queueOf(Napi::Env env) {
    return moduleEnvironment(env).completions;
}

// Called with m held: takes every job of queue that has not started out of
// the ready list and the connections' waiting lists.
void takeUnstarted(CompletionQueue* queue, std::vector<zelk_work_t*>& taken) {
    for (auto item = todo.begin(); item != todo.end();) {
        if (item->work->queue != queue) {
            ++item;
            continue;
        }
        auto entry = conn_queue.find(item->conn);
        if (entry != conn_queue.end()) {
            taken.insert(taken.end(), entry->second.begin(), entry->second.end());
            conn_queue.erase(entry);
        }
        taken.push_back(item->work);
        item = todo.erase(item);
    }
    for (auto& entry : conn_queue) {
        auto& waiting = entry.second;
        for (auto job = waiting.begin(); job != waiting.end();) {
            if ((*job)->queue == queue) {
                taken.push_back(*job);
                job = waiting.erase(job);
            } else {
                ++job;
            }
        }
    }
    queue->pending -= static_cast<int>(taken.size());
}

}  // namespace

void zelk_queue_work(Napi::Env env, zelk_work_t* work, Connection* conn) {
    CompletionQueue* queue = queueOf(env);
    work->queue = queue;
    ExecutionClient::runOnce(zelk_threadpool_init, nullptr, pool_started);
    m.lock();
    if (work->execute == nullptr) {
        deliver(queue, work);
    } else if (conn != nullptr && conn_queue.count(conn) != 0) {
        conn_queue[conn].push_back(work);
    } else {
        if (conn != nullptr) {
            conn_queue[conn];
        }
        todo.push_back({work, conn});
    }
    // The pipe is unreferenced only once nothing is pending, so it needs a
    // reference again only when this job ends an idle spell.
    bool needsRef = queue->pending == 0 || work->execute == nullptr;
    if (work->execute != nullptr) {
        queue->pending++;
    }
    m.unlock();
    // Script code runs outside the scheduler lock, which the workers wait on.
    if (needsRef && !queue->ref.IsEmpty()) {
        queue->ref.Call({});
    }
    // After a stop there is no worker to wake.
    if (cv != nullptr) {
        cv->signal();
    }
}

void run_callbacks(Napi::Env env) {
    CompletionQueue* queue = queueOf(env);
    std::deque<zelk_work_t*>& done = queue->done;
    m.lock();
    size_t budget = done.size() < kMinBudget ? kMinBudget : done.size();
    while (!done.empty()) {
        zelk_work_t* work = done.front();
        done.pop_front();
        m.unlock();
        work->complete(work->data);
        m.lock();
        // After a callback threw, the rest wait for the next wake-up so that
        // the caller sees the exception first.
        if (env.IsExceptionPending() || --budget == 0) {
            break;
        }
    }
    bool more = !done.empty();
    // Only this thread queues work, so idle stays idle once the lock is
    // released and the unref can run outside it.
    bool idle = !more && queue->pending == 0;
    if (idle && todo.empty() && conn_queue.empty() && working == 0 && temp_working == 0) {
        timer_interval = default_interval;
    }
    m.unlock();
    if (idle && !queue->unref.IsEmpty()) {
        unrefWithException(env, queue->unref);
    }
    if (more) {
        async_send(queue);
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
    // Jobs waiting behind a running job of their connection are discarded
    // too: the running one must not hand them on as it finishes.
    m.lock();
    for (const conn_work_t& item : todo) {
        item.work->queue->pending--;
    }
    for (const auto& entry : conn_queue) {
        for (zelk_work_t* work : entry.second) {
            work->queue->pending--;
        }
    }
    todo.clear();
    conn_queue.clear();
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

// Jobs of the environment that have not started are discarded, running ones
// are waited for, and no completion is delivered: the environment can no
// longer run JavaScript. A discarded job's baton is not freed, since only
// its after-function knows it.
void zelk_end_completion_queue(CompletionQueue* queue) {
    std::vector<zelk_work_t*> discarded;
    m.lock();
    takeUnstarted(queue, discarded);
    while ((queue->pending > 0 || queue->writing > 0) && cv_ended != nullptr) {
        cv_ended->wait(m);
    }
    discarded.insert(discarded.end(), queue->done.begin(), queue->done.end());
    queue->done.clear();
    m.unlock();
    for (zelk_work_t* work : discarded) {
        work->discard(work->data);
    }
    if (queue->pipe[1] >= 0) {
        close(queue->pipe[1]);
    }
    delete queue;
}

CompletionQueue* zelk_new_completion_queue() {
    return new CompletionQueue;
}

// The read end belongs to the JavaScript layer, which watches it.
int create_pipe(Napi::Env env, int& fd, std::string& endpoint) {
    endpoint.clear();
    CompletionQueue* queue = queueOf(env);
    int result = pipe(queue->pipe);
    if (result != 0) {
        use_uv_threadpool = true;
    } else {
        lastReadEnd = queue->pipe[0];
    }
    fd = lastReadEnd;
    return result;
}

void set_ref_fns(Napi::Env env, Napi::Function ref, Napi::Function unref) {
    CompletionQueue* queue = queueOf(env);
    queue->ref = Napi::Persistent(ref);
    queue->unref = Napi::Persistent(unref);
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
