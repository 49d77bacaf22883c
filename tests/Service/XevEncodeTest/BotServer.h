#pragma once
// The loopback stand-in for the chat bot's HTTP interface (BotServer.py), run as a child process.

#include "platform/net/HttpClient.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

class BotServer
{
public:
    // options: those of BotServer.py ("--status 400", "--silent").
    explicit BotServer(const std::string& options = {})
        : m_Pipe(popen(("exec python3 " XEV_SOURCE_DIR "/tests/Service/XevEncodeTest/BotServer.py " + options).c_str(), "r"))
    {
        m_Origin = "http://127.0.0.1:" + ReadLine();
    }
    ~BotServer() { Finish(); }
    BotServer(const BotServer&) = delete;
    BotServer& operator=(const BotServer&) = delete;

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
        pclose(m_Pipe);
        m_Pipe = nullptr;
        return posts;
    }

private:
    // The next line of the server's output; empty at its end or after 20 s of silence.
    std::string ReadLine()
    {
        for (;;)
        {
            if (const size_t end = m_Buffer.find('\n'); end != std::string::npos)
            {
                std::string line = m_Buffer.substr(0, end);
                m_Buffer.erase(0, end + 1);
                return line;
            }
            pollfd readable { fileno(m_Pipe), POLLIN, 0 };
            char chunk[4096];
            const ssize_t n = poll(&readable, 1, 20000) == 1 ? read(readable.fd, chunk, sizeof chunk) : 0;
            if (n <= 0)
                return {};
            m_Buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    FILE* m_Pipe;
    std::string m_Origin;
    std::string m_Buffer; // output read but not yet taken as lines
};
