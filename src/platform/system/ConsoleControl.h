#pragma once
// Console control events: the stand-in for the console control handler.
//
// The console signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM) become control types and reach the
// handler on one dedicated thread, never as asynchronous signal handlers. For that the signals
// must be blocked in every thread: BlockSignals runs first on the main thread, before any thread
// starts, so that all later threads inherit the mask. A HandlerThread then takes them with a
// signalfd for as long as it lives.

#include "platform/com/Types.h"

#include <string>
#include <thread>

inline constexpr DWORD CTRL_C_EVENT = 0;        // SIGINT
inline constexpr DWORD CTRL_BREAK_EVENT = 1;    // SIGQUIT
inline constexpr DWORD CTRL_CLOSE_EVENT = 2;    // SIGHUP
inline constexpr DWORD CTRL_LOGOFF_EVENT = 5;
inline constexpr DWORD CTRL_SHUTDOWN_EVENT = 6; // SIGTERM

namespace ConsoleControl
{
// Returns true when it handled the control type.
using Handler = BOOL (*)(DWORD controlType);

// "CTRL_C_EVENT" and the like for the five named types, "0x%X" for any other value.
std::string ControlTypeName(DWORD controlType);

// The control type a console signal stands for; -1 for other signals.
int ControlTypeOfSignal(int signal) noexcept;

// Blocks the console signals in the calling thread (and so in the threads it starts later).
void BlockSignals() noexcept;

// Runs the handler for each console signal on its own thread until destroyed; a signal whose
// control type the handler does not handle (returns false) takes its default effect. When the thread
// cannot be set up, the signals are unblocked again in the calling thread so that they keep
// their default effect.
class HandlerThread
{
public:
    explicit HandlerThread(Handler handler);
    ~HandlerThread();
    HandlerThread(const HandlerThread&) = delete;
    HandlerThread& operator=(const HandlerThread&) = delete;

private:
    void Loop();

    const Handler m_Handler;
    int m_SignalDescriptor = -1; // signalfd of the console signals
    int m_StopDescriptor = -1;   // eventfd; written by the destructor to end the loop
    std::thread m_Thread;
};
} // namespace ConsoleControl
