#include "Support.h"

#include "platform/system/DebugOutput.h"

#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport
{
TraceCapture::TraceCapture()
{
    DebugOutput::SetCallback(&TraceCapture::OnLine, this);
}

TraceCapture::~TraceCapture()
{
    DebugOutput::SetCallback(nullptr, nullptr);
}

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
    std::vector<std::string> result;
    for (auto& line : Lines())
        if (line.find(text) != std::string::npos)
            result.push_back(line);
    return result;
}

std::string BinaryPath(const std::string& name)
{
#ifdef XEV_TEST_BIN_DIR
    return std::string(XEV_TEST_BIN_DIR) + "/" + name;
#else
    return name;
#endif
}

ProcessResult RunProcess(const std::vector<std::string>& arguments)
{
    ProcessResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return result;
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        for (auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0)
        result.Output.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.ExitStatus = WEXITSTATUS(status);
    return result;
}
} // namespace TestSupport
