#pragma once
// One HTTP POST over libcurl, with time limits, TLS certificate verification and no redirects.
//
// Each call is independent (its own connection) and may run on any thread. The response body is
// read and dropped.

#include "platform/com/Types.h"

#include <chrono>
#include <string>

namespace Net
{
struct HttpLimits
{
    std::chrono::milliseconds Connect { 10'000 }; // to establish the connection (and TLS)
    std::chrono::milliseconds Total { 30'000 };   // for the whole exchange
};

struct HttpResult
{
    HRESULT Result = S_OK; // S_OK for a 2xx status; the status's or the transport failure's HRESULT otherwise
    long Status = 0;       // the response's status code; 0 when no response arrived
    std::string Error;     // the transport failure's text (empty when a response arrived)
};

// HTTP_E_STATUS_* of a status outside the success range (0x80190000 + status).
constexpr HRESULT HResultFromHttpStatus(long status) noexcept
{
    return MakeHResult(0x80190000u + (static_cast<uint32_t>(status) & 0xFFFFu));
}

// POSTs body with the given Content-Type. Never throws for transport or HTTP failures: they are
// in the result. Throws E_OUTOFMEMORY when no transfer can be set up at all.
HttpResult Post(const std::string& url, const std::string& contentType, const std::string& body, const HttpLimits& limits = {});
} // namespace Net
