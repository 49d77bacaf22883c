#pragma once
// PostChatMessage: sends one text to the configured chat through the bot's HTTP interface.
//
// One POST of {"chat_id", "text"[, "parse_mode"]} as JSON to <base address>/sendMessage. The base
// address carries the bot's credential, so it is shown only as RedactedAddress gives it.

#include "Console.h"

#include "platform/net/HttpClient.h"

#include <cstdint>
#include <string>

namespace Application
{
// The request body: "chat_id" (the identifier as a double-precision number), "text" and, with
// markdown, "parse_mode": "MarkdownV2", in this order. Invalid UTF-8 in text becomes U+FFFD.
std::string ChatMessageBody(int64_t chatIdentifier, const std::string& text, bool markdown);

// The address with everything after its host and port (where the credential lives) and any user
// information replaced by "***".
std::string RedactedAddress(const std::string& address);

// Posts text to the chat. Without a base address it writes one line saying the post is skipped
// and returns. A failed post writes one line with the HTTP status or the transport error and
// throws its HRESULT. Blocks for at most the limits (connect and whole request).
void PostChatMessage(const std::string& text, bool markdown, const std::string& baseAddress, int64_t chatIdentifier,
    const Console::Writer& console = Console::WriteLine, const Net::HttpLimits& limits = {});
} // namespace Application
