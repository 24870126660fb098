// Per-thread execution context.
//
//   ExecutionClient::Context& self = ExecutionClient::Context::current();
//   self.getName(); self.getState(); self.getSystemThreadId();
//
// Threads started by ExecutionClient::Thread carry their own context; any other
// thread (the JavaScript thread, std::thread, ...) gets one on first use, owned
// by the thread and freed when it exits. Once freed, using a primitive from that
// thread aborts the process with a report.
#pragma once

#include <atomic>
#include <cstddef>

namespace ExecutionClient {

enum class ContextState { Initialized, Starting, Running, Suspended, Terminated };
enum class ContextKind { Thread };

const char* toString(ContextState state);

class Context {
public:
    static constexpr std::size_t NameCapacity = 32;

    // Keeps at most NameCapacity - 1 characters of name.
    Context(const char* name, ContextKind kind);
    virtual ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // The calling thread's context, created on first use.
    static Context& current();
    // The calling thread's context, or nullptr if it has none yet; never creates one.
    static Context* currentIfExists();
    // Kernel thread id of the calling thread.
    static long currentSystemThreadId();

    const char* getName() const { return m_name; }
    ContextKind getKind() const { return m_kind; }
    ContextState getState() const { return m_state.load(std::memory_order_acquire); }
    // 0 until the context's thread runs.
    long getSystemThreadId() const { return m_systemThreadId.load(std::memory_order_acquire); }

protected:
    void setState(ContextState state) { m_state.store(state, std::memory_order_release); }
    void setSystemThreadId(long id) { m_systemThreadId.store(id, std::memory_order_release); }

    // Makes self the calling thread's context; the thread must have none yet.
    static void attachToCurrentThread(Context& self);
    // Marks the calling thread's context as torn down.
    static void detachFromCurrentThread();

private:
    static Context& adoptCurrentThread();

    char m_name[NameCapacity];
    ContextKind m_kind;
    std::atomic<ContextState> m_state{ContextState::Initialized};
    std::atomic<long> m_systemThreadId{0};
};

} // namespace ExecutionClient
