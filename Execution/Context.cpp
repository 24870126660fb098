#include "Execution/Context.h"

#include "Execution/Assertion.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ExecutionClient {

namespace {

Context* const g_tornDown = reinterpret_cast<Context*>(~std::uintptr_t(0));

thread_local Context* t_current = nullptr;

// Owns a context created on first use and frees it when the thread exits.
struct AdoptedContextOwner {
    Context* adopted = nullptr;
    ~AdoptedContextOwner()
    {
        delete adopted;
        t_current = g_tornDown;
    }
};

thread_local AdoptedContextOwner t_adopted;

[[noreturn]] void crashTornDown()
{
    Diagnose::crash("execution context of thread " + std::to_string(Context::currentSystemThreadId()) +
                    " used after it was torn down");
}

} // namespace

const char* toString(ContextState state)
{
    switch (state) {
    case ContextState::Initialized: return "initialized";
    case ContextState::Starting: return "starting";
    case ContextState::Running: return "running";
    case ContextState::Suspended: return "suspended";
    case ContextState::Terminated: return "terminated";
    }
    return "unknown";
}

Context::Context(const char* name, ContextKind kind) : m_kind(kind)
{
    std::strncpy(m_name, name ? name : "", NameCapacity - 1);
    m_name[NameCapacity - 1] = '\0';
}

Context::~Context() = default;

Context& Context::current()
{
    Context* self = t_current;
    if (self == g_tornDown)
        crashTornDown();
    return self ? *self : adoptCurrentThread();
}

Context* Context::currentIfExists()
{
    Context* self = t_current;
    if (self == g_tornDown)
        crashTornDown();
    return self;
}

long Context::currentSystemThreadId()
{
    return static_cast<long>(::syscall(SYS_gettid));
}

Context& Context::adoptCurrentThread()
{
    char osName[17] = {};
    if (::prctl(PR_GET_NAME, osName) != 0)
        std::strcpy(osName, "foreign-thread");
    Context* self = new Context(osName, ContextKind::Thread);
    self->setSystemThreadId(currentSystemThreadId());
    self->setState(ContextState::Running);
    t_adopted.adopted = self;
    t_current = self;
    return *self;
}

void Context::attachToCurrentThread(Context& self)
{
    Context* existing = t_current;
    if (existing != nullptr) {
        std::string existingState =
            existing == g_tornDown ? "torn down" : toString(existing->getState());
        Diagnose::raiseAssertion("Context self should be NULL but is " + Diagnose::pointerText(existing) +
                                     " for thread " + self.getName() + " state: " + existingState + " ",
                                 __FILE__, __LINE__);
    }
    t_current = &self;
}

void Context::detachFromCurrentThread()
{
    t_current = g_tornDown;
}

} // namespace ExecutionClient
