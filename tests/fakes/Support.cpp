#include "Support.h"

#include "platform/system/DebugOutput.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace TestSupport
{
TraceCapture::TraceCapture() { DebugOutput::SetCallback(&TraceCapture::OnLine, this); }
TraceCapture::~TraceCapture() { DebugOutput::SetCallback(nullptr, nullptr); }

void TraceCapture::OnLine(void* context, const char* line, std::size_t length)
{
    auto* self = static_cast<TraceCapture*>(context);
    std::lock_guard lock(self->m_Lock);
    self->m_Lines.emplace_back(line, length);
}

std::vector<std::string> TraceCapture::Lines() const
{
    std::lock_guard lock(m_Lock);
    return m_Lines;
}

std::vector<std::string> TraceCapture::LinesContaining(const std::string& text) const
{
    std::vector<std::string> result = Lines();
    std::erase_if(result, [&](const std::string& line) { return line.find(text) == std::string::npos; });
    return result;
}

TempFolder::TempFolder()
{
    static std::atomic<int> counter { 0 };
    m_Path = std::filesystem::temp_directory_path() / ("xev-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_Path);
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_Path, ignored);
}

std::string TempFolder::Path(const std::string& name) const { return name.empty() ? m_Path.string() : (m_Path / name).string(); }

std::string TempFolder::Write(const std::string& name, const std::string& text) const
{
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
}

std::string BinaryPath(const std::string& name)
{
#ifdef XEV_TEST_BIN_DIR
    return std::string(XEV_TEST_BIN_DIR) + "/" + name;
#else
    return name;
#endif
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, bool terminal)
{
    int fds[2] = { -1, -1 };
    if (terminal ? (m_Pid = forkpty(&fds[0], nullptr, nullptr, nullptr)) < 0 : pipe2(fds, O_CLOEXEC) != 0)
        return;
    if (!terminal)
        m_Pid = fork();
    if (m_Pid == 0)
    {
        if (!terminal)
            dup2(fds[1], 1), dup2(fds[1], 2);
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (!terminal)
        close(fds[1]);
    m_Output = fds[0];
}

ChildProcess::~ChildProcess()
{
    if (m_Pid > 0)
    {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
    if (m_Output >= 0)
        close(m_Output);
}

bool ChildProcess::ReadUntil(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.empty() || m_Text.find(text) == std::string::npos)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd descriptor { m_Output, POLLIN, 0 };
        if (left <= 0 || poll(&descriptor, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(m_Output, buffer, sizeof(buffer));
        if (n <= 0)
            return text.empty();
        m_Text.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

ProcessResult ChildProcess::Finish(std::chrono::milliseconds timeout)
{
    ProcessResult result;
    if (ReadUntil({}, timeout))
    {
        int status = 0;
        waitpid(std::exchange(m_Pid, -1), &status, 0);
        result.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    result.Output = m_Text;
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& arguments) { return ChildProcess(arguments).Finish(std::chrono::minutes(4)); }
} // namespace TestSupport
