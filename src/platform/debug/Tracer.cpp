#include "Tracer.h"

#include "platform/com/Error.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr size_t PageSize = 4096;

std::vector<int> TaskIdentifiers(int process)
{
    std::vector<int> tasks;
    DIR* dir = ::opendir(("/proc/" + std::to_string(process) + "/task").c_str());
    if (dir == nullptr)
        return tasks;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            tasks.push_back(std::atoi(entry->d_name));
    ::closedir(dir);
    return tasks;
}

bool IsStopSignal(int signal) noexcept
{
    return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

bool GetRegisters(int thread, user_regs_struct& registers) noexcept
{
    return ::ptrace(PTRACE_GETREGS, thread, nullptr, &registers) == 0;
}
} // namespace

Debug::Tracer::Tracer(int processIdentifier) : m_Process(processIdentifier)
{
    // Stops are announced by SIGCHLD; taken through a descriptor so that the loop can wait for
    // them together with other input.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_SignalDescriptor = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

Debug::Tracer::~Tracer()
{
    Detach();
    if (m_Memory >= 0)
        ::close(m_Memory);
    if (m_SignalDescriptor >= 0)
        ::close(m_SignalDescriptor);
}

void Debug::Tracer::Attach(uint64_t throwEntry)
{
    // Under Yama the worker declares this process as its tracer right after starting it: a
    // refusal may come before that, so it is retried for a short while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::ptrace(PTRACE_SEIZE, m_Process, nullptr, PTRACE_O_TRACECLONE) != 0)
    {
        if (errno != EPERM || std::chrono::steady_clock::now() > deadline)
            XEV_FAIL(HResultFromWin32(static_cast<uint32_t>(errno)));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_Threads[m_Process];
    // Threads started before the seize are taken one by one until a pass finds none new;
    // threads started by a seized thread are followed by the kernel.
    for (bool added = true; added;)
    {
        added = false;
        for (const int task : TaskIdentifiers(m_Process))
            if (m_Threads.count(task) == 0 && ::ptrace(PTRACE_SEIZE, task, nullptr, PTRACE_O_TRACECLONE) == 0)
            {
                m_Threads[task];
                added = true;
            }
    }
    m_Memory = ::open(("/proc/" + std::to_string(m_Process) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (throwEntry == 0)
        return;
    StopAll();
    for (const auto& [id, thread] : m_Threads)
    {
        errno = 0;
        const long word = ::ptrace(PTRACE_PEEKDATA, id, throwEntry, nullptr);
        if (errno != 0)
            continue;
        m_Breakpoint = throwEntry;
        m_BreakpointWord = word;
        SetBreakpoint(true);
        break;
    }
    ResumeAll();
}

std::optional<Debug::Stop> Debug::Tracer::Next()
{
    if (!m_Held.empty())
    {
        const Stop stop = m_Held.front();
        m_Held.pop_front();
        return stop;
    }
    // Drained before waiting, so that a SIGCHLD arriving after the wait makes it readable again.
    signalfd_siginfo info;
    while (::read(m_SignalDescriptor, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info)))
    {
    }
    for (;;)
    {
        int status = 0;
        const pid_t thread = ::waitpid(-1, &status, __WALL | WNOHANG);
        if (thread < 0 && errno == ECHILD && !m_ExitStatus)
        {
            // Nothing is traced any more, yet the worker's end was not seen: it is over for us.
            m_Threads.clear();
            m_ExitStatus = 0;
            return Stop { Stop::Kind::ProcessExit, m_Process };
        }
        if (thread <= 0)
            return std::nullopt;
        if (std::optional<Stop> stop = Handle(thread, status))
            return stop;
    }
}

std::optional<Debug::Stop> Debug::Tracer::Handle(int id, int status)
{
    std::optional<Stop> stop;
    if (WIFEXITED(status) || WIFSIGNALED(status))
    {
        m_Threads.erase(id);
        if (id != m_Process)
            return std::nullopt;
        m_ExitStatus = status;
        stop = Stop { Stop::Kind::ProcessExit, id };
        stop->Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    else if (WIFSTOPPED(status))
    {
        Thread& thread = m_Threads[id]; // a new thread may report before its creator's clone event
        thread.Stopped = true;
        thread.GroupStop = false;
        const int signal = WSTOPSIG(status);
        const int event = status >> 16;
        if (event != 0)
        {
            if (event == PTRACE_EVENT_CLONE)
            {
                unsigned long child = 0;
                if (::ptrace(PTRACE_GETEVENTMSG, id, nullptr, &child) == 0)
                    m_Threads.try_emplace(static_cast<int>(child));
            }
            else if (event == PTRACE_EVENT_STOP)
                thread.GroupStop = IsStopSignal(signal);
            if (!m_Holding)
                Continue(id, 0);
            return std::nullopt;
        }
        siginfo_t info {};
        ::ptrace(PTRACE_GETSIGINFO, id, nullptr, &info);
        stop = Stop { Stop::Kind::Signal, id, signal, info.si_code, reinterpret_cast<uint64_t>(info.si_addr) };
        thread.PendingSignal = signal;
        user_regs_struct registers;
        if (signal == SIGTRAP && info.si_code == SI_KERNEL && m_BreakpointPlanted && GetRegisters(id, registers)
            && registers.rip - 1 == m_Breakpoint)
        {
            stop->Type = Stop::Kind::Throw;
            thread.PendingSignal = 0;
        }
    }
    if (stop && m_Holding)
    {
        m_Held.push_back(*stop);
        return std::nullopt;
    }
    return stop;
}

void Debug::Tracer::Continue(int id, int signal) noexcept
{
    const auto found = m_Threads.find(id);
    if (found == m_Threads.end())
        return;
    Thread& thread = found->second;
    if (thread.GroupStop)
        ::ptrace(PTRACE_LISTEN, id, nullptr, nullptr);
    else
        ::ptrace(PTRACE_CONT, id, nullptr, signal);
    thread.Stopped = false;
    thread.PendingSignal = 0;
}

void Debug::Tracer::Resume(const Stop& stop, int signal)
{
    if (stop.Type == Stop::Kind::ProcessExit)
        return;
    if (stop.Type == Stop::Kind::Throw && m_Threads.count(stop.Thread) != 0)
    {
        // Back to the first instruction, which runs once with the breakpoint out; every other
        // thread is held meanwhile so that none passes the entry unseen.
        const bool holding = m_Holding;
        if (!holding)
            StopAll();
        user_regs_struct registers;
        if (GetRegisters(stop.Thread, registers))
        {
            registers.rip = m_Breakpoint;
            ::ptrace(PTRACE_SETREGS, stop.Thread, nullptr, &registers);
        }
        SetBreakpoint(false);
        int deferred = 0;
        for (bool stepped = false; !stepped;)
        {
            if (::ptrace(PTRACE_SINGLESTEP, stop.Thread, nullptr, nullptr) != 0)
                break;
            int status = 0;
            if (::waitpid(stop.Thread, &status, __WALL) < 0 && errno != EINTR)
                break;
            if (!WIFSTOPPED(status))
            {
                Handle(stop.Thread, status);
                break;
            }
            const int caught = WSTOPSIG(status);
            if (caught == SIGTRAP && (status >> 16) == 0)
                stepped = true;
            else if ((status >> 16) == 0)
                deferred = caught; // a signal that arrived meanwhile: delivered once the step is done
        }
        SetBreakpoint(true);
        if (m_Threads.count(stop.Thread) != 0)
            Continue(stop.Thread, deferred);
        if (!holding)
            ResumeAll();
        return;
    }
    Continue(stop.Thread, signal);
}

void Debug::Tracer::StopAll()
{
    m_Holding = true;
    for (const auto& [id, thread] : m_Threads)
        if (!thread.Stopped)
            ::ptrace(PTRACE_INTERRUPT, id, nullptr, nullptr);
    for (;;)
    {
        bool all = true;
        for (const auto& [id, thread] : m_Threads)
            all = all && thread.Stopped;
        if (all)
            return;
        int status = 0;
        const pid_t id = ::waitpid(-1, &status, __WALL);
        if (id < 0)
        {
            if (errno == EINTR)
                continue;
            return;
        }
        Handle(id, status);
    }
}

void Debug::Tracer::ResumeAll()
{
    m_Holding = false;
    // A thread whose stop is kept for Next stays stopped until the caller resumes it.
    std::vector<int> kept;
    for (const Stop& stop : m_Held)
        kept.push_back(stop.Thread);
    for (auto& [id, thread] : m_Threads)
        if (thread.Stopped && std::find(kept.begin(), kept.end(), id) == kept.end())
            Continue(id, thread.PendingSignal);
}

std::vector<Debug::ThreadState> Debug::Tracer::Threads(int first)
{
    std::vector<ThreadState> states;
    for (const auto& [id, thread] : m_Threads)
    {
        user_regs_struct registers;
        if (!thread.Stopped || !GetRegisters(id, registers))
            continue;
        ThreadState state;
        state.Thread = id;
        user_fpregs_struct fp;
        static_assert(sizeof(fp) == sizeof(state.FloatingPoint));
        if (::ptrace(PTRACE_GETFPREGS, id, nullptr, &fp) == 0)
            std::memcpy(state.FloatingPoint.data(), &fp, sizeof(fp));
        if (m_Breakpoint != 0 && registers.rip - 1 == m_Breakpoint)
            --registers.rip;
        state.InstructionPointer = registers.rip;
        state.StackPointer = registers.rsp;
        static_assert(sizeof(registers) == sizeof(state.Registers));
        std::memcpy(state.Registers.data(), &registers, sizeof(registers));
        if (id == first)
            states.insert(states.begin(), state);
        else
            states.push_back(state);
    }
    return states;
}

std::optional<Debug::ThrowSite> Debug::Tracer::ThrowSiteOf(int thread) const
{
    user_regs_struct registers;
    if (!GetRegisters(thread, registers))
        return std::nullopt;
    // At the entry's first instruction: arguments in rdi and rsi, the return address on top of the stack.
    ThrowSite site { registers.rdi, registers.rsi, 0 };
    if (Read(registers.rsp, &site.ReturnAddress, sizeof(site.ReturnAddress)) != sizeof(site.ReturnAddress))
        return std::nullopt;
    return site;
}

size_t Debug::Tracer::Read(uint64_t address, void* buffer, size_t size) const noexcept
{
    size_t done = 0;
    while (done < size)
    {
        const size_t chunk = std::min(size - done, PageSize - ((address + done) % PageSize));
        const ssize_t n = ::pread(m_Memory, static_cast<char*>(buffer) + done, chunk, static_cast<off_t>(address + done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

std::string Debug::Tracer::ReadString(uint64_t address, size_t maximum) const
{
    std::string text(maximum, '\0');
    text.resize(Read(address, text.data(), maximum));
    const size_t end = text.find('\0');
    if (end != std::string::npos)
        text.resize(end);
    return text;
}

std::vector<std::pair<uint64_t, uint64_t>> Debug::Tracer::ModuleListMemory(const std::vector<Mapping>& mappings) const
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    const auto add = [&](uint64_t address, uint64_t size) {
        if (address != 0)
            ranges.emplace_back(address / PageSize * PageSize, (address + size + PageSize - 1) / PageSize * PageSize);
    };
    // The loader of this process is the worker's: the same file, so its list head translates.
    const std::optional<uint64_t> head = TranslateAddress(&_r_debug, mappings);
    r_debug debug {};
    if (!head || Read(*head, &debug, sizeof(debug)) != sizeof(debug))
        return ranges;
    add(*head, sizeof(debug));
    uint64_t node = reinterpret_cast<uint64_t>(debug.r_map);
    for (int count = 0; node != 0 && count < 4096; ++count)
    {
        link_map entry {};
        if (Read(node, &entry, sizeof(entry)) != sizeof(entry))
            break;
        add(node, sizeof(entry));
        add(reinterpret_cast<uint64_t>(entry.l_name), 1);
        add(reinterpret_cast<uint64_t>(entry.l_ld), PageSize);
        node = reinterpret_cast<uint64_t>(entry.l_next);
    }
    return ranges;
}

std::optional<uint64_t> Debug::Tracer::Call(int thread, uint64_t function, uint64_t argument0, uint64_t argument1)
{
    user_regs_struct saved;
    if (!GetRegisters(thread, saved))
        return std::nullopt;
    user_regs_struct registers = saved;
    // Below the red zone, aligned as at a function's entry; the return address 0 ends the call
    // with a fault that comes back here.
    const uint64_t stack = ((saved.rsp - 1024) & ~uint64_t(15)) - 8;
    if (::ptrace(PTRACE_POKEDATA, thread, stack, nullptr) != 0)
        return std::nullopt;
    registers.rsp = stack;
    registers.rip = function;
    registers.rdi = argument0;
    registers.rsi = argument1;
    registers.rax = 0;
    registers.orig_rax = static_cast<unsigned long long>(-1); // no system call to restart
    std::optional<uint64_t> result;
    if (::ptrace(PTRACE_SETREGS, thread, nullptr, &registers) == 0 && ::ptrace(PTRACE_CONT, thread, nullptr, nullptr) == 0)
    {
        for (;;)
        {
            int status = 0;
            if (::waitpid(thread, &status, __WALL) < 0)
            {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (!WIFSTOPPED(status))
            {
                Handle(thread, status);
                return std::nullopt;
            }
            const int signal = WSTOPSIG(status);
            if ((status >> 16) != 0 || signal == SIGCHLD || signal == SIGWINCH)
            {
                ::ptrace(PTRACE_CONT, thread, nullptr, nullptr);
                continue;
            }
            if (signal == SIGSEGV && GetRegisters(thread, registers) && registers.rip == 0)
                result = registers.rax;
            break;
        }
    }
    ::ptrace(PTRACE_SETREGS, thread, nullptr, &saved);
    return result;
}

void Debug::Tracer::SetBreakpoint(bool planted) noexcept
{
    if (m_Breakpoint == 0 || planted == m_BreakpointPlanted)
        return;
    const long word = planted ? ((m_BreakpointWord & ~0xFFL) | 0xCC) : m_BreakpointWord;
    for (const auto& [id, thread] : m_Threads)
        if (thread.Stopped && ::ptrace(PTRACE_POKEDATA, id, m_Breakpoint, word) == 0)
        {
            m_BreakpointPlanted = planted;
            return;
        }
}

void Debug::Tracer::Detach() noexcept
{
    if (m_Threads.empty())
        return;
    StopAll();
    SetBreakpoint(false);
    for (const auto& [id, thread] : m_Threads)
    {
        // A thread stopped on the breakpoint goes back to the entry's first instruction.
        user_regs_struct registers;
        if (m_Breakpoint != 0 && GetRegisters(id, registers) && registers.rip - 1 == m_Breakpoint)
        {
            registers.rip = m_Breakpoint;
            ::ptrace(PTRACE_SETREGS, id, nullptr, &registers);
        }
        ::ptrace(PTRACE_DETACH, id, nullptr, thread.PendingSignal);
    }
    m_Threads.clear();
}
