#pragma once
// Running the built tool as a process: its output read as it comes, its lines after the banner.

#include "Service/XevEncodeTest/BuildVersion.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ToolProcess
{
using Clock = std::chrono::steady_clock;

inline const std::string Tool = TestSupport::BinaryPath("XevEncodeTest");

// What the tool prints after its three banner lines (whose shape is checked on the way).
inline std::vector<std::string> AfterBanner(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    if (lines.size() < 3 || !lines[0].starts_with("XevEncodeTest ") || !lines[0].ends_with(std::string(" (") + BuildVersion::Configuration + ")")
        || lines[1].empty() || lines[2] != "--")
    {
        ADD_FAILURE() << "no banner in:\n" << output;
        return lines;
    }
    return { lines.begin() + 3, lines.end() };
}

// A running copy of the tool whose output is read as it comes.
class Child
{
public:
    explicit Child(const std::vector<std::string>& arguments)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_Pid = fork();
        if (m_Pid == 0)
        {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            std::vector<char*> argv;
            for (const std::string& a : arguments)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_Output = fds[0];
    }
    ~Child()
    {
        if (m_Pid > 0)
        {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        if (m_Output >= 0)
            close(m_Output);
    }

    pid_t Pid() const { return m_Pid; }
    const std::string& Output() const { return m_Text; }

    // Reads until the output contains text (empty text: to the end of the output); false at the time-out.
    bool ReadUntil(const std::string& text, std::chrono::seconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (text.empty() || m_Text.find(text) == std::string::npos)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
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

    // Reads to the end of the output and returns the exit status (-1: killed, or no end in time).
    int Finish(std::chrono::seconds timeout)
    {
        if (!ReadUntil({}, timeout))
            return -1;
        int status = 0;
        waitpid(std::exchange(m_Pid, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_Pid = -1;
    int m_Output = -1;
    std::string m_Text;
};

// The run report's block (a line of dashes, the report, a line of dashes) as the one line "<report>".
inline std::vector<std::string> CollapseReport(std::vector<std::string> lines)
{
    const auto first = std::find(lines.begin(), lines.end(), std::string(64, '-'));
    if (const auto last = first == lines.end() ? first : std::find(first + 1, lines.end(), *first); last != lines.end())
        lines.erase(first + 1, last + 1), *first = "<report>";
    return lines;
}

// Each expected line equals the actual one, or is its start where it ends with '*'.
inline void ExpectLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    ASSERT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
    for (size_t i = 0; i < actual.size(); ++i)
        if (expected[i].ends_with('*'))
            EXPECT_TRUE(actual[i].starts_with(expected[i].substr(0, expected[i].size() - 1))) << actual[i];
        else
            EXPECT_EQ(actual[i], expected[i]);
}
} // namespace ToolProcess
