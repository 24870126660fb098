// The module's worker pool: jobs of one connection run strictly one after
// another, finished jobs come back to the JavaScript thread through a pipe.
#ifndef ZELK_THREAD_H
#define ZELK_THREAD_H

#include <napi.h>

#include <string>

class Connection;
struct CompletionQueue;

// Owned by the one who queues it, which frees it in complete or discard
// (usually as part of data).
struct zelk_work_t {
    void* data;
    void (*execute)(void* data);   // null: completes without reaching a worker
    void (*complete)(void* data);  // runs on the JavaScript thread
    void (*discard)(void* data);   // instead of complete, as its environment ends
    CompletionQueue* queue;        // set when queued: where it completes
};

// JavaScript thread of env only (calls its ref function).
void zelk_queue_work(Napi::Env env, zelk_work_t* work, Connection* conn);
// Runs env's pending completions; stops early, leaving the rest queued and
// the pipe woken again, when a callback leaves a JavaScript exception
// pending.
void run_callbacks(Napi::Env env);
void zelk_stop_all_work();
bool zelk_stopped_all_work();
int create_pipe(Napi::Env env, int& fd, std::string& endpoint);
void set_ref_fns(Napi::Env env, Napi::Function ref, Napi::Function unref);

// An environment's completions: made as the module initialises there,
// ended (and freed) by its cleanup hook.
CompletionQueue* zelk_new_completion_queue();
void zelk_end_completion_queue(CompletionQueue* queue);

void zelk_use_uv_threadpool(bool use);
void zelk_prevent_deadlock(bool prevent);
void zelk_set_interval(int milliseconds);
bool should_use_old_threadpool();

#endif
