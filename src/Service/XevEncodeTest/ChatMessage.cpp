#include "ChatMessage.h"

#include "platform/com/Error.h"
#include "platform/com/Trace.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace Application
{
std::string ChatMessageBody(int64_t chatIdentifier, const std::string& text, bool markdown)
{
    nlohmann::ordered_json body;
    // The identifier goes through a double, as the bot interface's JSON numbers are; a whole
    // value is written without a fraction so that it reads back as the same integer.
    const double number = static_cast<double>(chatIdentifier);
    if (number >= -0x1p63 && number < 0x1p63)
        body["chat_id"] = static_cast<int64_t>(number);
    else
        body["chat_id"] = number;
    body["text"] = text;
    if (markdown)
        body["parse_mode"] = "MarkdownV2";
    return body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string RedactedAddress(const std::string& address)
{
    const size_t scheme = address.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t pathStart = std::min(address.find_first_of("/?#", hostStart), address.size());
    std::string authority = address.substr(hostStart, pathStart - hostStart);
    if (const size_t at = authority.rfind('@'); at != std::string::npos)
        authority = "***@" + authority.substr(at + 1);
    return address.substr(0, hostStart) + authority + (pathStart < address.size() ? "/***" : "");
}

void PostChatMessage(const std::string& text, bool markdown, const std::string& baseAddress, int64_t chatIdentifier,
    const Console::Writer& console, const Net::HttpLimits& limits)
{
    if (baseAddress.empty())
    {
        console("Chat notification skipped: no bot address configured (\"Tg\" \"BaseAddress\")");
        return;
    }
    const std::string shown = RedactedAddress(baseAddress);
    XEV_TRACE("Address %s, ChatIdentifier %lld, Length %zu\n", shown.c_str(), static_cast<long long>(chatIdentifier), text.size());
    const Net::HttpResult result = Net::Post(baseAddress + "/sendMessage", "application/json", ChatMessageBody(chatIdentifier, text, markdown), limits);
    if (SUCCEEDED(result.Result))
        return;
    if (result.Status != 0)
    {
        console(Console::Format("Chat notification to %s failed: HTTP status %ld", shown.c_str(), result.Status));
    }
    else
    {
        // Transport messages name the host at most; the address is masked should one quote it.
        std::string reason = result.Error;
        for (size_t at = reason.find(baseAddress); at != std::string::npos; at = reason.find(baseAddress, at + shown.size()))
            reason.replace(at, baseAddress.size(), shown);
        console(Console::Format("Chat notification to %s failed: %s", shown.c_str(), reason.c_str()));
    }
    XEV_FAIL(result.Result);
}
} // namespace Application
