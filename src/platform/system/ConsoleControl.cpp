#include "ConsoleControl.h"

#include "platform/com/Trace.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace ConsoleControl
{
namespace
{
sigset_t ConsoleSignals() noexcept
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

std::string ControlTypeName(DWORD controlType)
{
    switch (controlType)
    {
    case CTRL_C_EVENT: return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT: return "CTRL_SHUTDOWN_EVENT";
    default:
    {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%X", controlType);
        return text;
    }
    }
}

int ControlTypeOfSignal(int signal) noexcept
{
    switch (signal)
    {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    case SIGTERM: return CTRL_SHUTDOWN_EVENT;
    default: return -1;
    }
}

void BlockSignals() noexcept
{
    const sigset_t set = ConsoleSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

HandlerThread::HandlerThread(Handler handler) : m_Handler(handler)
{
    const sigset_t set = ConsoleSignals();
    m_SignalDescriptor = signalfd(-1, &set, SFD_CLOEXEC);
    m_StopDescriptor = eventfd(0, EFD_CLOEXEC);
    if (m_SignalDescriptor >= 0 && m_StopDescriptor >= 0)
    {
        try
        {
            m_Thread = std::thread(&HandlerThread::Loop, this);
            return;
        }
        catch (const std::system_error&)
        {
        }
    }
    XEV_TRACE("this 0x%p, no console control thread, errno %d\n", this, errno);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

HandlerThread::~HandlerThread()
{
    if (m_Thread.joinable())
    {
        const uint64_t one = 1;
        while (::write(m_StopDescriptor, &one, sizeof(one)) < 0 && errno == EINTR)
        {
        }
        m_Thread.join();
    }
    if (m_SignalDescriptor >= 0)
        ::close(m_SignalDescriptor);
    if (m_StopDescriptor >= 0)
        ::close(m_StopDescriptor);
}

void HandlerThread::Loop()
{
    pollfd descriptors[2] = { { m_SignalDescriptor, POLLIN, 0 }, { m_StopDescriptor, POLLIN, 0 } };
    for (;;)
    {
        if (::poll(descriptors, 2, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            XEV_TRACE("this 0x%p, poll errno %d\n", this, errno);
            return;
        }
        if (descriptors[1].revents)
            return;
        if (!descriptors[0].revents)
            continue;
        signalfd_siginfo info;
        if (::read(m_SignalDescriptor, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
            continue;
        const int signal = static_cast<int>(info.ssi_signo);
        const int controlType = ControlTypeOfSignal(signal);
        if (controlType < 0 || m_Handler(static_cast<DWORD>(controlType)))
            continue;
        // Not handled: the signal takes its default effect (it ends the process).
        std::signal(signal, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        ::raise(signal);
    }
}
} // namespace ConsoleControl
