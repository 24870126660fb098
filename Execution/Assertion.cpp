#include "Execution/Assertion.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace Diagnose {

namespace {

void writeToStderr(const std::string& message)
{
    // One write per report keeps lines from concurrent threads apart.
    std::string line = "zelk: " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::atomic<ReportHandler> g_reportHandler{&writeToStderr};

} // namespace

AssertError::AssertError(const std::string& message, const char* file, int line)
    : std::logic_error(message), m_file(file), m_line(line)
{
}

void raiseAssertion(const std::string& message, const char* file, int line)
{
    throw AssertError(message, file, line);
}

ReportHandler setReportHandler(ReportHandler handler)
{
    return g_reportHandler.exchange(handler ? handler : &writeToStderr);
}

void report(const std::string& message)
{
    g_reportHandler.load()(message);
}

void crash(const std::string& message)
{
    writeToStderr("fatal: " + message);
    std::abort();
}

std::string pointerText(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

} // namespace Diagnose
