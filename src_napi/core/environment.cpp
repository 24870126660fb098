#include "environment.h"

#include "thread.h"

namespace {

// Runs as the environment ends, before its objects are finalized: no work of
// its may still be running then, and none of its completions is delivered.
void endEnvironment(void* data) {
    auto* state = static_cast<ModuleEnvironment*>(data);
    zelk_end_completion_queue(state->completions);
    state->completions = nullptr;
}

}  // namespace

void initModuleEnvironment(Napi::Env env) {
    auto* state = new ModuleEnvironment;
    state->completions = zelk_new_completion_queue();
    env.SetInstanceData(state);
    napi_add_env_cleanup_hook(env, endEnvironment, state);
}

ModuleEnvironment& moduleEnvironment(Napi::Env env) {
    return *env.GetInstanceData<ModuleEnvironment>();
}
