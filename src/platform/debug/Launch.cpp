#include "Launch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
void CloseDescriptor(int& fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

Debug::SupervisorLaunch::~SupervisorLaunch()
{
    CloseDescriptor(m_AttachRead);
    CloseDescriptor(m_AttachWrite);
    CloseDescriptor(m_OutputRead);
    CloseDescriptor(m_OutputWrite);
}

bool Debug::SupervisorLaunch::CreateChannels()
{
    int attach[2];
    if (::pipe2(attach, O_CLOEXEC) != 0)
        return false;
    m_AttachRead = attach[0];
    m_AttachWrite = attach[1];
    int output[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, output) != 0)
        return false;
    m_OutputRead = output[0];
    m_OutputWrite = output[1];
    ::shutdown(m_OutputRead, SHUT_WR);
    return true;
}

bool Debug::SupervisorLaunch::Start(const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        return false;
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Duplicating a descriptor onto itself clears its close-on-exec flag in the child only.
    posix_spawn_file_actions_adddup2(&actions, m_AttachWrite, m_AttachWrite);
    posix_spawn_file_actions_adddup2(&actions, m_OutputRead, m_OutputRead);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseDescriptor(m_AttachWrite);
    CloseDescriptor(m_OutputRead);
    if (error != 0)
        return false;
    m_Supervisor = pid;
    // Yama's restricted mode lets only a declared process attach to its parent.
    ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0, 0, 0);
    return true;
}

bool Debug::SupervisorLaunch::WaitForAttach(int timeoutMilliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p { m_AttachRead, POLLIN, 0 };
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char byte = 0;
        const ssize_t r = ::read(m_AttachRead, &byte, 1);
        if (r == 1)
            return true;
        // The supervisor has exited without attaching: collect it.
        ::waitpid(m_Supervisor, nullptr, WNOHANG);
        return false;
    }
}

int Debug::SupervisorLaunch::ReleaseWorkerOutput() noexcept
{
    const int fd = m_OutputWrite;
    m_OutputWrite = -1;
    return fd;
}

Debug::OutputChannel::OutputChannel(int descriptor) noexcept : m_Descriptor(descriptor)
{
    if (m_Descriptor >= 0)
        ::fcntl(m_Descriptor, F_SETFL, ::fcntl(m_Descriptor, F_GETFL) | O_NONBLOCK);
}

Debug::OutputChannel::~OutputChannel()
{
    CloseDescriptor(m_Descriptor);
}

bool Debug::OutputChannel::Read(std::string& message)
{
    if (m_Descriptor < 0)
        return false;
    message.resize(65536);
    for (;;)
    {
        const ssize_t n = ::recv(m_Descriptor, message.data(), message.size(), MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (n <= 0)
        {
            // The worker's end is closed (or failed): nothing more will come.
            CloseDescriptor(m_Descriptor);
            return false;
        }
        message.resize(std::min(static_cast<size_t>(n), message.size()));
        return true;
    }
}

void Debug::SignalAttached(int descriptor) noexcept
{
    if (descriptor < 0)
        return;
    const char byte = 1;
    while (::write(descriptor, &byte, 1) < 0 && errno == EINTR)
    {
    }
    ::close(descriptor);
}

void Debug::WaitForInput(std::initializer_list<int> descriptors) noexcept
{
    pollfd p[4] = {};
    nfds_t count = 0;
    for (const int fd : descriptors)
        if (count < 4)
            p[count++] = { fd, POLLIN, 0 };
    while (::poll(p, count, -1) < 0 && errno == EINTR)
    {
    }
}

Debug::SupervisorSignals::SupervisorSignals() noexcept
{
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_Descriptor = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

Debug::SupervisorSignals::~SupervisorSignals()
{
    CloseDescriptor(m_Descriptor);
}

bool Debug::SupervisorSignals::Received() noexcept
{
    signalfd_siginfo info;
    return m_Descriptor >= 0 && ::read(m_Descriptor, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info));
}

int Debug::CurrentProcessIdentifier() noexcept
{
    return static_cast<int>(::getpid());
}
