#pragma once
// Helpers shared by the test programs.

#include <mutex>
#include <string>
#include <vector>

namespace TestSupport
{
// Captures the debug-output channel for its lifetime.
class TraceCapture
{
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Lines that contain `text`.
    std::vector<std::string> LinesContaining(const std::string& text) const;

private:
    static void OnLine(void* context, const char* line, std::size_t length);

    mutable std::mutex m_Lock; // guards m_Lines
    std::vector<std::string> m_Lines;
};

// Path of a built program in the build's bin folder.
std::string BinaryPath(const std::string& name);

struct ProcessResult
{
    int ExitStatus = -1; // the exit code, or -1 when the process did not exit normally
    int Signal = 0;      // the signal that ended the process, 0 when it exited
    std::string Output;  // standard output and standard error together
};
// Runs a program with arguments (no shell) and collects its output.
ProcessResult RunProcess(const std::vector<std::string>& arguments);
} // namespace TestSupport
