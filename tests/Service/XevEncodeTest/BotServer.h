#pragma once
// The loopback stand-in for the chat bot's HTTP interface (BotServer.py), run as a child process.

#include "platform/net/HttpClient.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

struct BotServer
{
    // options: those of BotServer.py ("--status 400", "--silent").
    explicit BotServer(const std::string& options = {})
        : Pipe(popen(("exec python3 " XEV_SOURCE_DIR "/tests/Service/XevEncodeTest/BotServer.py " + options).c_str(), "r")),
          Origin("http://127.0.0.1:" + ReadLine()) {}
    ~BotServer() { Finish(); }

    // The base address to configure: the server with a made-up credential in the path.
    std::string Address() const { return Origin + "/bot123456:SECRET"; }

    // Ends the server and returns every POST it received: {"path", "content_type", "body"}.
    std::vector<nlohmann::json> Finish()
    {
        std::vector<nlohmann::json> posts;
        if (Pipe && SUCCEEDED(Net::Post(Origin + "/quit", "text/plain", "").Result))
            for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
                posts.push_back(nlohmann::json::parse(line));
        if (Pipe)
            pclose(Pipe), Pipe = nullptr;
        return posts;
    }

    // The server writes a request's line before it answers, so the line of a finished request is there.
    std::string ReadLine() { char line[65536]; return fgets(line, sizeof line, Pipe) ? std::string(line, std::strcspn(line, "\n")) : ""; }

    FILE* Pipe;
    const std::string Origin;
};
