#pragma once
// Tracer: this process as the debugger of another (the worker), over ptrace.
//
// Attach seizes every thread of the worker (threads it creates later are followed) and plants
// one breakpoint, on the C++ runtime's throw entry, so that every throw stops its thread. Next
// reports the worker's stops one at a time; the caller decides for each stop how the thread goes
// on. StopAll holds every other thread still (for a consistent dump) until ResumeAll. One thread
// only (the caller's) may use a Tracer. The destructor takes the breakpoint out and detaches,
// handing every held signal back to its thread, so the worker runs on untraced.

#include "Process.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Debug
{
struct Stop
{
    enum class Kind
    {
        Signal,     // a signal is about to be delivered to Thread
        Throw,      // Thread entered the throw entry (the breakpoint)
        ProcessExit // the worker has ended; Status is its exit code (128 + the signal that ended it)
    };
    Kind Type = Kind::Signal;
    int Thread = 0;
    int Signal = 0;
    int Code = 0;         // si_code
    uint64_t Address = 0; // si_addr
    int Status = 0;
};

// One thread's registers in the layout of the host's core files.
struct ThreadState
{
    int Thread = 0;
    std::array<uint64_t, 27> Registers {};      // general registers, r15 first, gs last
    std::array<uint8_t, 512> FloatingPoint {}; // the FXSAVE area
    uint64_t InstructionPointer = 0;
    uint64_t StackPointer = 0;
};

// Where a thread stopped on the throw entry came from and what it throws.
struct ThrowSite
{
    uint64_t Object = 0;        // the thrown object
    uint64_t Type = 0;          // its std::type_info
    uint64_t ReturnAddress = 0; // in the function that throws
};

class Tracer
{
public:
    explicit Tracer(int processIdentifier);
    ~Tracer();
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    int ProcessIdentifier() const noexcept { return m_Process; }
    // Seizes all threads and plants the throw breakpoint at throwEntry (0: none). Throws an
    // HRESULT failure when the worker cannot be traced.
    void Attach(uint64_t throwEntry);

    // A descriptor that becomes readable when stops may be waiting (poll it with others).
    int WaitDescriptor() const noexcept { return m_SignalDescriptor; }
    // The next stop, nothing when none is waiting. The stopped thread stays stopped until Resume.
    std::optional<Stop> Next();
    // Lets a stopped thread go on, delivering `signal` (0: none). For a Throw stop the thread
    // executes the throw entry's first instruction with the breakpoint out of the way first.
    void Resume(const Stop& stop, int signal);

    // Holds every thread still; each thread's stop that arrives meanwhile is kept for Next.
    void StopAll();
    void ResumeAll();
    // Threads' registers (the stopped thread of `first` first); every thread must be stopped.
    // A thread on the breakpoint shows the entry's first instruction as its next.
    std::vector<ThreadState> Threads(int first);
    std::optional<ThrowSite> ThrowSiteOf(int thread) const;
    // Takes the breakpoint out (false) and back in; while threads are held only.
    void SetBreakpoint(bool planted) noexcept;

    // Reads up to size bytes; returns how many could be read.
    size_t Read(uint64_t address, void* buffer, size_t size) const noexcept;
    std::string ReadString(uint64_t address, size_t maximum) const;
    // The memory through which a debugger finds the worker's modules: the dynamic loader's list
    // (its head, nodes and names) and the modules' dynamic sections.
    std::vector<std::pair<uint64_t, uint64_t>> ModuleListMemory(const std::vector<Mapping>& mappings) const;
    // Runs function(argument0, argument1) on the stopped thread and returns what it returned;
    // nothing when the call did not come back normally. The thread's registers are restored.
    std::optional<uint64_t> Call(int thread, uint64_t function, uint64_t argument0, uint64_t argument1);

private:
    struct Thread
    {
        bool Stopped = false;
        bool GroupStop = false; // stopped by a stop signal: resumed with PTRACE_LISTEN
        int PendingSignal = 0;  // the signal of its signal stop, until it is resumed
    };

    // Translates one wait status; a stop for the caller comes back, internal stops are handled.
    std::optional<Stop> Handle(int thread, int status);
    void Continue(int thread, int signal) noexcept;
    void Detach() noexcept;

    const int m_Process;
    int m_SignalDescriptor = -1; // signalfd of SIGCHLD
    int m_Memory = -1;           // /proc/<pid>/mem
    std::map<int, Thread> m_Threads;
    std::deque<Stop> m_Held; // stops taken while holding the threads, given out by Next
    uint64_t m_Breakpoint = 0;
    long m_BreakpointWord = 0; // the original word at m_Breakpoint
    bool m_BreakpointPlanted = false;
    bool m_Holding = false; // between StopAll and ResumeAll
    std::optional<int> m_ExitStatus;
};
} // namespace Debug
