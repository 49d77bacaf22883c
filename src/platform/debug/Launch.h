#pragma once
// Starting the supervisor from the worker: the two inherited channels and the wait for attach.
//
// The attach channel is a pipe whose write end only the supervisor holds: it writes one byte
// once it has attached, and its exit closes the pipe. The debug-output channel is a packet socket
// pair: each write of the worker arrives as one message at the supervisor's end, and a write
// after the supervisor has gone fails instead of raising SIGPIPE.

#include <initializer_list>
#include <string>
#include <vector>

namespace Debug
{
class SupervisorLaunch
{
public:
    SupervisorLaunch() = default;
    ~SupervisorLaunch();
    SupervisorLaunch(const SupervisorLaunch&) = delete;
    SupervisorLaunch& operator=(const SupervisorLaunch&) = delete;

    // Creates the channels; false when the host refuses.
    bool CreateChannels();
    // The descriptor numbers the supervisor inherits.
    int AttachDescriptor() const noexcept { return m_AttachWrite; }
    int OutputDescriptor() const noexcept { return m_OutputRead; }

    // Starts the executable at arguments[0] with `arguments`, handing over
    // standard input, output and error and the supervisor's two descriptors; lets it trace this
    // process. False when it could not start.
    bool Start(const std::vector<std::string>& arguments);
    // Waits until the supervisor has attached or has exited, at most timeoutMilliseconds; true
    // when it attached.
    bool WaitForAttach(int timeoutMilliseconds);
    // Hands the worker's output end over to the caller (it is then no longer closed here).
    int ReleaseWorkerOutput() noexcept;

private:
    int m_AttachRead = -1;
    int m_AttachWrite = -1;
    int m_OutputRead = -1;
    int m_OutputWrite = -1;
    int m_Supervisor = 0;
};

// The supervisor's end of the debug-output channel; reads never block.
class OutputChannel
{
public:
    explicit OutputChannel(int descriptor) noexcept;
    ~OutputChannel();
    OutputChannel(const OutputChannel&) = delete;
    OutputChannel& operator=(const OutputChannel&) = delete;

    // -1 once the channel is closed (or when there is none).
    int Descriptor() const noexcept { return m_Descriptor; }
    // Takes one waiting message (one write of the worker); false when none is waiting.
    bool Read(std::string& message);

private:
    int m_Descriptor;
};

// Tells the worker that the supervisor has attached (and closes the descriptor).
void SignalAttached(int descriptor) noexcept;
// Blocks until one of the descriptors (-1: none) is readable or closed.
void WaitForInput(std::initializer_list<int> descriptors) noexcept;

// The supervisor's signals: Ctrl+C and Ctrl+\ are the worker's and are ignored; SIGTERM and
// SIGHUP ask the supervisor to let the worker go (the descriptor becomes readable).
class SupervisorSignals
{
public:
    SupervisorSignals() noexcept;
    ~SupervisorSignals();
    SupervisorSignals(const SupervisorSignals&) = delete;
    SupervisorSignals& operator=(const SupervisorSignals&) = delete;

    int Descriptor() const noexcept { return m_Descriptor; }
    bool Received() noexcept;

private:
    int m_Descriptor = -1; // signalfd of SIGTERM and SIGHUP
};
int CurrentProcessIdentifier() noexcept;
} // namespace Debug
