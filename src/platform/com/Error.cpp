#include "Error.h"

#include <algorithm>
#include <cstdarg>

void Error::ReportFailure(HRESULT hr, const char* file, int line) noexcept
{
    Trace(TraceSite { file, line, "Error::ReportFailure" }, "Failure, 0x%08X\n", static_cast<unsigned>(hr));
}

void Error::Throw(HRESULT hr, const char* file, int line)
{
    ReportFailure(hr, file, line);
    throw HResultException(hr, file, line);
}

void Error::ThrowMessage(HRESULT hr, const char* file, int line, const char* format, ...)
{
    char message[TraceLineCapacity / 2];
    va_list arguments;
    va_start(arguments, format);
    FormatV(message, sizeof(message), format, arguments);
    va_end(arguments);
    Trace(TraceSite { file, line, "Error::ReportFailure" }, "Failure, 0x%08X, %s\n", static_cast<unsigned>(hr), message);
    throw HResultException(hr, file, line);
}

HRESULT Error::CurrentExceptionResult() noexcept
{
    try
    {
        throw;
    }
    catch (const HResultException& e)
    {
        return e.Result();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNHANDLED_EXCEPTION;
    }
}

HRESULT Error::LogCaught(std::source_location where) noexcept
{
    try
    {
        throw;
    }
    catch (const HResultException& e)
    {
        return e.Result(); // traced where it was thrown
    }
    catch (...)
    {
        const HRESULT hr = CurrentExceptionResult();
        ReportFailure(hr, where.file_name(), static_cast<int>(where.line()));
        return hr;
    }
}

HRESULT Error::LogIfFailed(HRESULT hr, std::initializer_list<HRESULT> expected, std::source_location where) noexcept
{
    if (FAILED(hr) && std::find(expected.begin(), expected.end(), hr) == expected.end())
        ReportFailure(hr, where.file_name(), static_cast<int>(where.line()));
    return hr;
}

void TracedCheckFailed(const TraceSite& site, HRESULT hr, const char* expression)
{
    Trace(site, "Exception, 0x%08X, expression %s\n", static_cast<unsigned>(hr), expression);
    throw HResultException(hr, site.File, site.Line);
}
