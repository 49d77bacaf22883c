#pragma once
// Helpers shared by the test programs.

#include <chrono>
#include <filesystem>
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

// A private folder under the system's temporary folder, removed with the object.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, or `name` in it.
    std::string Path(const std::string& name = {}) const;
    // Writes `text` to the file `name` in the folder; returns its path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path m_Path;
};

// Path of a built program in the build's bin folder.
std::string BinaryPath(const std::string& name);

struct ProcessResult
{
    int ExitStatus = -1; // the exit code, or -1 when the process did not exit normally
    int Signal = 0;      // the signal that ended the process, 0 when it exited
    std::string Output;  // standard output and standard error together
};

// A running program (no shell) whose output, standard output and standard error together, is read
// as it comes, through a pipe or a terminal. The destructor kills a program that has not been finished.
class ChildProcess
{
public:
    explicit ChildProcess(const std::vector<std::string>& arguments, bool terminal = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int Pid() const { return m_Pid; }
    const std::string& Output() const { return m_Text; }
    // Reads until the output contains `text` (empty: to its end); false at the time-out.
    bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout);
    // Reads to the end of the output and waits for the exit (ExitStatus -1 when there was no end in time).
    ProcessResult Finish(std::chrono::milliseconds timeout);

private:
    int m_Pid = -1;
    int m_Output = -1;
    std::string m_Text;
};

// Runs a program with arguments (no shell) to its end and collects its output.
ProcessResult RunProcess(const std::vector<std::string>& arguments);
} // namespace TestSupport
