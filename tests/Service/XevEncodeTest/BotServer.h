#pragma once
// The loopback stand-in for the chat bot's HTTP interface (BotServer.py), run as a child process.

#include "platform/net/HttpClient.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class BotServer
{
public:
    // options: those of BotServer.py ("--status 400", "--silent").
    explicit BotServer(const std::string& options = {})
        : m_Pipe(popen(("exec python3 " XEV_SOURCE_DIR "/tests/Service/XevEncodeTest/BotServer.py " + options).c_str(), "r")),
          m_Origin("http://127.0.0.1:" + ReadLine())
    {
    }
    ~BotServer() { Finish(); }

    // The base address to configure: the server with a made-up credential in the path.
    std::string Address() const { return m_Origin + "/bot123456:SECRET"; }

    // Ends the server and returns every POST it received: {"path", "content_type", "body"}.
    std::vector<nlohmann::json> Finish()
    {
        std::vector<nlohmann::json> posts;
        if (!m_Pipe)
            return posts;
        Net::Post(m_Origin + "/quit", "text/plain", "");
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
            posts.push_back(nlohmann::json::parse(line));
        pclose(std::exchange(m_Pipe, nullptr));
        return posts;
    }

private:
    // The server writes each line before it answers the request, so a line read after a request is there.
    std::string ReadLine()
    {
        std::string line;
        for (int c = fgetc(m_Pipe); c != EOF && c != '\n'; c = fgetc(m_Pipe))
            line += static_cast<char>(c);
        return line;
    }

    FILE* m_Pipe;
    const std::string m_Origin;
};
