// The module's worker pool: jobs of one connection run strictly one after
// another, finished jobs come back to the JavaScript thread through a pipe.
#ifndef ZELK_THREAD_H
#define ZELK_THREAD_H

#include <napi.h>

#include <string>

class Connection;

struct zelk_work_t {
    void* data;
    void (*execute)(void* data);   // null: completes without reaching a worker
    void (*complete)(void* data);  // runs on the JavaScript thread
};

// JavaScript thread only (calls the ref function).
void zelk_queue_work(zelk_work_t* work, Connection* conn);
// Runs pending completions; stops early, leaving the rest queued and the
// pipe woken again, when a callback leaves a JavaScript exception pending.
void run_callbacks(Napi::Env env);
void zelk_stop_all_work();
bool zelk_stopped_all_work();
int create_pipe(int& fd, std::string& endpoint);
void set_ref_fns(Napi::Function ref, Napi::Function unref);

void zelk_use_uv_threadpool(bool use);
void zelk_prevent_deadlock(bool prevent);
void zelk_set_interval(int milliseconds);
bool should_use_old_threadpool();

#endif
