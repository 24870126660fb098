// Assertion errors and diagnostic reports of the support primitives.
//
//   ZELK_ASSERT(mutex.isSelfOwned());                 // "Assertion failed: mutex.isSelfOwned()"
//   ZELK_ASSERT_MSG(handle == 0, "Thread handle ..."); // message given by the caller
//   Diagnose::report("Unhandled bad_alloc");          // non-fatal, to the report handler
//
// Misuse of a primitive throws Diagnose::AssertError; it signals a programming
// error and is not meant to be caught and continued from.
#pragma once

#include <stdexcept>
#include <string>

namespace Diagnose {

class AssertError : public std::logic_error {
public:
    AssertError(const std::string& message, const char* file, int line);

    const char* getFile() const { return m_file; }
    int getLine() const { return m_line; }

private:
    const char* m_file;
    int m_line;
};

[[noreturn]] void raiseAssertion(const std::string& message, const char* file, int line);

// Receives every diagnostic report; the default writes to stderr.
using ReportHandler = void (*)(const std::string& message);

// Installs a report handler (nullptr restores the default) and returns the previous one.
ReportHandler setReportHandler(ReportHandler handler);

void report(const std::string& message);

// Reports and aborts the process: for faults that leave no safe way to continue.
[[noreturn]] void crash(const std::string& message);

std::string pointerText(const void* address);

} // namespace Diagnose

#define ZELK_ASSERT_MSG(condition, message)                                  \
    do {                                                                     \
        if (!(condition))                                                    \
            ::Diagnose::raiseAssertion((message), __FILE__, __LINE__);       \
    } while (0)

#define ZELK_ASSERT(condition) ZELK_ASSERT_MSG(condition, "Assertion failed: " #condition)
