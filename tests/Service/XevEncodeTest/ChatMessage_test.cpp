#include "Service/XevEncodeTest/ChatMessage.h"

#include "platform/com/Error.h"
#include "BotServer.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

namespace
{
// Bodies, statuses and dead servers (one that never answers, one that refuses the connection).
TEST(PostChatMessage, SendsTheBodyIntactSucceedsOnlyFor2xxAndNeverShowsTheCredential)
{
    const TestSupport::TraceCapture trace;
    const std::string awkward = "Quote \" backslash \\ tab\t\nline two: Größe ✓ *not_markdown*";
    const struct { std::string Text; bool Markdown; int64_t Chat; const char* Options; bool Refused; HRESULT Result; const char* Reason; } cases[] = {
        { awkward, false, -1001234567890, "", false, S_OK, nullptr }, { awkward, true, 42, "--status 204", false, S_OK, nullptr },
        { "report", false, 7, "--status 400", false, MakeHResult(0x80190190), "HTTP status 400" }, { "x", false, 1, "--silent", false, HResultFromWin32(12002), "" },
        { "x", false, 1, "", true, HResultFromWin32(12029), "" },
    };
    for (const auto& c : cases)
    {
        BotServer server(c.Options);
        const std::string address = c.Refused ? "http://127.0.0.1:1/bot123456:SECRET" : server.Address();
        std::vector<std::string> lines;
        const HRESULT result = Error::Guard([&] {
            Application::PostChatMessage(c.Text, c.Markdown, address, c.Chat, [&](std::string_view line) { lines.emplace_back(line); },
                { std::chrono::milliseconds(5000), std::chrono::milliseconds(2000) });
        });
        const std::vector<nlohmann::json> posts = server.Finish();
        EXPECT_EQ(result, c.Result) << c.Options;
        ASSERT_EQ(lines.size(), c.Reason ? 1u : 0u) << c.Options;
        EXPECT_TRUE(!c.Reason || (lines[0].starts_with("Chat notification to " + address.substr(0, address.rfind("/bot")) + "/*** failed: " + c.Reason) &&
            lines[0].find("SECRET") == std::string::npos)) << testing::PrintToString(lines);
        ASSERT_EQ(posts.size(), c.Refused ? 0u : 1u) << c.Options;
        if (c.Refused)
            continue;
        EXPECT_EQ(posts[0]["path"].get<std::string>() + " " + posts[0]["content_type"].get<std::string>(), "/bot123456:SECRET/sendMessage application/json");
        nlohmann::ordered_json expected = { { "chat_id", c.Chat }, { "text", c.Text } };
        if (c.Markdown)
            expected["parse_mode"] = "MarkdownV2";
        EXPECT_EQ(nlohmann::ordered_json::parse(posts[0]["body"].get<std::string>()), expected); // members, order and values
    }
    EXPECT_TRUE(trace.LinesContaining("SECRET").empty());
}
} // namespace
