#pragma once
// Failures as HRESULT-carrying exceptions, the check forms that throw them, and the boundary
// guard that turns them back into HRESULTs where the platform calls an interface method.
//
//   XEV_CHECK_HR(hr)              a called operation failed: throws its HRESULT
//   XEV_CHECK_POINTER(p)          a required pointer is null: throws E_POINTER
//   XEV_CHECK(condition, hr)      a named condition does not hold: throws hr
//   XEV_CHECK_LINE(condition)     a condition without an HRESULT of its own: throws 0x80FF0000 + line
//   XEV_FAIL(hr)                  unconditional failure (E_NOTIMPL and the like)
//   XEV_FAIL_MESSAGE(hr, ...)     the same, with a printf-style message in the failure report
//   TracedCheck(hr, "text")       traces "Exception, 0x%08X, expression %s" before it throws
//
// Log and go on, where a failure must not stop the caller (teardown, a destructor, a loop that
// outlives one bad turn):
//   Error::Continue(body)         runs body; what it throws is traced once and returned
//   Error::LogCaught()            the same inside a catch block the caller needs for itself
//   Error::LogIfFailed(hr, {MF_E_SHUTDOWN})  traces a failed HRESULT unless it is an expected one
//
// Expected outcomes (MF_E_SHUTDOWN from a queue, an empty pool) are returned, not thrown.

#include "Trace.h"
#include "Types.h"

#include <exception>
#include <initializer_list>
#include <new>
#include <source_location>
#include <type_traits>
#include <utility>

class HResultException : public std::exception
{
public:
    HResultException(HRESULT hr, const char* file, int line) noexcept : m_Result(hr), m_File(file), m_Line(line) {}

    HRESULT Result() const noexcept { return m_Result; }
    const char* File() const noexcept { return m_File; }
    int Line() const noexcept { return m_Line; }
    const char* what() const noexcept override { return "HRESULT failure"; }

private:
    HRESULT m_Result;
    const char* m_File;
    int m_Line;
};

namespace Error
{
// The error library's failure report: one trace line naming the HRESULT and where it arose.
void ReportFailure(HRESULT hr, const char* file, int line) noexcept;

[[noreturn]] void Throw(HRESULT hr, const char* file, int line);
// The same with a message of its own in the failure report: "Failure, 0x%08X, <message>".
[[noreturn]] void ThrowMessage(HRESULT hr, const char* file, int line, const char* format, ...) __attribute__((format(printf, 4, 5)));

// The HRESULT of an exception in flight (call inside a catch block): HResultException's own,
// E_OUTOFMEMORY for std::bad_alloc, E_UNHANDLED_EXCEPTION for anything else.
HRESULT CurrentExceptionResult() noexcept;

// The HRESULT of the exception in flight (call inside a catch block), traced once: a failure
// thrown by the check forms was traced where it arose, anything else is traced here.
HRESULT LogCaught(std::source_location where = std::source_location::current()) noexcept;

// Traces a failed hr ("Failure, 0x%08X") unless it is one of the expected statuses; returns hr.
HRESULT LogIfFailed(HRESULT hr, std::initializer_list<HRESULT> expected = {},
    std::source_location where = std::source_location::current()) noexcept;

// Runs body; a failure it throws is traced once (see LogCaught) and returned, never rethrown.
template <class Body>
HRESULT Continue(Body&& body, std::source_location where = std::source_location::current()) noexcept
{
    try
    {
        std::forward<Body>(body)();
        return S_OK;
    }
    catch (...)
    {
        return LogCaught(where);
    }
}

// Runs body and converts what it throws. A body that returns HRESULT passes it through;
// a void body gives S_OK.
template <class Body>
HRESULT Guard(Body&& body) noexcept
{
    try
    {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>)
        {
            std::forward<Body>(body)();
            return S_OK;
        }
        else
        {
            return std::forward<Body>(body)();
        }
    }
    catch (...)
    {
        return CurrentExceptionResult();
    }
}
} // namespace Error

void TracedCheckFailed(const TraceSite& site, HRESULT hr, const char* expression);

#define XEV_CHECK_HR(expression)                                                  \
    do                                                                            \
    {                                                                             \
        const HRESULT xevCheckResult_ = (expression);                             \
        if (FAILED(xevCheckResult_))                                              \
            ::Error::Throw(xevCheckResult_, __FILE__, __LINE__);                  \
    } while (false)
#define XEV_CHECK_POINTER(pointer)                                                \
    do                                                                            \
    {                                                                             \
        if ((pointer) == nullptr)                                                 \
            ::Error::Throw(E_POINTER, __FILE__, __LINE__);                        \
    } while (false)
#define XEV_CHECK(condition, hr)                                                  \
    do                                                                            \
    {                                                                             \
        if (!(condition))                                                         \
            ::Error::Throw((hr), __FILE__, __LINE__);                             \
    } while (false)
#define XEV_CHECK_LINE(condition)                                                 \
    do                                                                            \
    {                                                                             \
        if (!(condition))                                                         \
            ::Error::Throw(::LineHResult(__LINE__), __FILE__, __LINE__);          \
    } while (false)
#define XEV_FAIL(hr) ::Error::Throw((hr), __FILE__, __LINE__)
// XEV_FAIL_MESSAGE(E_INVALIDARG, "Incompatible settings, Count %u", count)
#define XEV_FAIL_MESSAGE(hr, ...) ::Error::ThrowMessage((hr), __FILE__, __LINE__, __VA_ARGS__)
// Checks hr and, on failure, traces the literal call text first.
#define TracedCheck(hr, expression)                                               \
    do                                                                            \
    {                                                                             \
        const HRESULT xevTracedResult_ = (hr);                                    \
        if (FAILED(xevTracedResult_))                                             \
            ::TracedCheckFailed(XEV_TRACE_SITE, xevTracedResult_, expression);    \
    } while (false)
