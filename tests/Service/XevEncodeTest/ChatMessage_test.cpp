#include "Service/XevEncodeTest/ChatMessage.h"

#include "platform/com/Error.h"
#include "BotServer.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <regex>

namespace
{
struct Outcome
{
    HRESULT Result;
    std::vector<std::string> Lines;
};

Outcome Post(const std::string& text, bool markdown, const std::string& address, int64_t chat, const Net::HttpLimits& limits = {})
{
    Outcome o;
    o.Result = Error::Guard([&] { Application::PostChatMessage(text, markdown, address, chat, [&](std::string_view line) { o.Lines.emplace_back(line); }, limits); });
    return o;
}

TEST(PostChatMessage, SendsTheBodyIntactAndSucceedsOnlyFor2xx)
{
    const std::string awkward = "Quote \" backslash \\ tab\t\nline two: Größe ✓ *not_markdown*";
    const struct { std::string Text; bool Markdown; int64_t Chat; const char* Options; HRESULT Result; } cases[] = {
        { awkward, false, -1001234567890, "", S_OK }, { awkward, true, 42, "--status 204", S_OK },
        { "report", false, 7, "--status 400", MakeHResult(0x80190190) },
    };
    for (const auto& c : cases)
    {
        BotServer server(c.Options);
        const Outcome outcome = Post(c.Text, c.Markdown, server.Address(), c.Chat);
        const std::vector<nlohmann::json> posts = server.Finish();
        EXPECT_EQ(outcome.Result, c.Result) << c.Options;
        ASSERT_EQ(posts.size(), 1u) << c.Options;
        EXPECT_EQ(posts[0]["path"], "/bot123456:SECRET/sendMessage");
        EXPECT_EQ(posts[0]["content_type"], "application/json");
        nlohmann::ordered_json expected = { { "chat_id", c.Chat }, { "text", c.Text } };
        if (c.Markdown)
            expected["parse_mode"] = "MarkdownV2";
        EXPECT_EQ(nlohmann::ordered_json::parse(posts[0]["body"].get<std::string>()), expected); // members, order and values
        const std::string failureLine = "Chat notification to " + server.Address().substr(0, server.Address().rfind("/bot")) + "/*** failed: HTTP status 400";
        EXPECT_EQ(outcome.Lines, FAILED(c.Result) ? std::vector { failureLine } : std::vector<std::string> {});
    }
}

TEST(PostChatMessage, DeadServersFailWithinTheLimitsWithoutShowingTheCredential)
{
    const TestSupport::TraceCapture trace;
    BotServer silent("--silent");
    const Outcome timedOut = Post("x", false, silent.Address(), 1, { std::chrono::milliseconds(5000), std::chrono::milliseconds(300) });
    EXPECT_EQ(silent.Finish().size(), 1u);
    const Outcome refused = Post("x", false, "http://127.0.0.1:1/bot123456:SECRET", 1);
    EXPECT_EQ(timedOut.Result, HResultFromWin32(12002));
    EXPECT_EQ(refused.Result, HResultFromWin32(12029));
    for (const Outcome* outcome : { &timedOut, &refused })
    {
        ASSERT_EQ(outcome->Lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(outcome->Lines[0], std::regex("Chat notification to http://127.0.0.1:[0-9]+/\\*\\*\\* failed: .+"))) << outcome->Lines[0];
        EXPECT_EQ(outcome->Lines[0].find("SECRET"), std::string::npos) << outcome->Lines[0];
    }
    EXPECT_EQ(trace.LinesContaining("/***").size(), 2u);
    EXPECT_TRUE(trace.LinesContaining("SECRET").empty());
    const Outcome skipped = Post("x", false, "", 1);
    EXPECT_EQ(skipped.Result, S_OK);
    EXPECT_EQ(skipped.Lines, std::vector<std::string> { "Chat notification skipped: no bot address configured (\"Tg\" \"BaseAddress\")" });
}
} // namespace
