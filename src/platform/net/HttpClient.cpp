#include "HttpClient.h"

#include "platform/com/Error.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace Net
{
namespace
{
// The WinINet codes that the platform's HTTP client reports for the like failures.
HRESULT HResultFromCurl(CURLcode code) noexcept
{
    switch (code)
    {
    case CURLE_OUT_OF_MEMORY: return E_OUTOFMEMORY;
    case CURLE_OPERATION_TIMEDOUT: return HResultFromWin32(12002);   // ERROR_INTERNET_TIMEOUT
    case CURLE_URL_MALFORMAT: return HResultFromWin32(12005);        // ERROR_INTERNET_INVALID_URL
    case CURLE_UNSUPPORTED_PROTOCOL: return HResultFromWin32(12006); // ERROR_INTERNET_UNRECOGNIZED_SCHEME
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return HResultFromWin32(12007); // ERROR_INTERNET_NAME_NOT_RESOLVED
    case CURLE_COULDNT_CONNECT: return HResultFromWin32(12029);      // ERROR_INTERNET_CANNOT_CONNECT
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return HResultFromWin32(12030);           // ERROR_INTERNET_CONNECTION_ABORTED
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE: return HResultFromWin32(12175);   // ERROR_INTERNET_SECURE_FAILURE
    default: return E_FAIL;
    }
}

size_t DropBody(char*, size_t size, size_t count, void*) noexcept
{
    return size * count;
}

struct EasyDeleter
{
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct ListDeleter
{
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
} // namespace

HttpResult Post(const std::string& url, const std::string& contentType, const std::string& body, const HttpLimits& limits)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    XEV_CHECK(easy, E_OUTOFMEMORY);
    curl_slist* headers = curl_slist_append(nullptr, ("Content-Type: " + contentType).c_str());
    XEV_CHECK(headers, E_OUTOFMEMORY);
    const std::unique_ptr<curl_slist, ListDeleter> headerList(headers);
    // No "Expect: 100-continue" round trip for larger bodies.
    XEV_CHECK(curl_slist_append(headers, "Expect:"), E_OUTOFMEMORY);

    char error[CURL_ERROR_SIZE] {};
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L); // time limits without SIGALRM: safe off the main thread
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.Connect.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.Total.count()));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &DropBody);

    HttpResult result;
    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK)
    {
        result.Result = HResultFromCurl(code);
        result.Error = error[0] ? error : curl_easy_strerror(code);
        return result;
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.Status);
    if (result.Status < 200 || result.Status > 299)
        result.Result = HResultFromHttpStatus(result.Status);
    return result;
}
} // namespace Net
