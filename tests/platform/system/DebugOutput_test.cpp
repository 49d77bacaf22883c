#include "platform/system/DebugOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <sys/socket.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
// A pipe large enough to hold everything a test writes, so that nothing needs to read it meanwhile.
struct Pipe
{
    Pipe() { EXPECT_TRUE(pipe2(Fds, O_CLOEXEC) == 0 && fcntl(Fds[1], F_SETPIPE_SZ, 1 << 20) >= 1 << 20); }
    ~Pipe() { close(Fds[0]); }
    // Closes the writing end and returns everything written.
    std::string Read()
    {
        close(Fds[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(Fds[0], buffer, sizeof(buffer))) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    int Fds[2] = { -1, -1 };
};

void Write(const std::string& line)
{
    DebugOutput::Write(line.data(), line.size());
}

// The callback sink is what every trace capture of the tests listens on.
TEST(DebugOutput, GoesToTheDescriptorSetAndNowhereElse)
{
    Write("dropped\n"); // no sink: nothing happens
    Pipe pipe;
    DebugOutput::SetFileDescriptor(pipe.Fds[1]);
    Write("one\n");
    DebugOutput::Write("two\nNOT THIS", 4); // exactly the length given
    DebugOutput::SetFileDescriptor(-1);
    Write("after\n");
    EXPECT_EQ(pipe.Read(), "one\ntwo\n");
}

TEST(DebugOutput, LinesOfConcurrentWritersStayWholeOnAPipe)
{
    Pipe pipe;
    DebugOutput::SetFileDescriptor(pipe.Fds[1]);
    constexpr int threads = 4, perThread = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                Write(std::string(200, static_cast<char>('a' + t)) + "\n");
        });
    for (auto& writer : writers)
        writer.join();
    DebugOutput::SetFileDescriptor(-1);
    const std::string text = pipe.Read();
    ASSERT_EQ(text.size(), static_cast<size_t>(threads * perThread * 201));
    for (size_t offset = 0; offset < text.size(); offset += 201)
        ASSERT_EQ(text.substr(offset, 201), std::string(200, text[offset]) + "\n") << "at " << offset;
}

TEST(DebugOutput, ReplacingTheCallbackWaitsForRunningCalls)
{
    struct Context
    {
        std::promise<void> Entered, Release;
        std::atomic<bool> Finished { false };
    } context;
    DebugOutput::SetCallback(
        [](void* c, const char*, std::size_t) {
            auto* self = static_cast<Context*>(c);
            self->Entered.set_value();
            self->Release.get_future().wait();
            self->Finished = true;
        },
        &context);
    std::thread writer([] { Write("blocked\n"); });
    context.Entered.get_future().wait();
    std::thread replacer([&] {
        DebugOutput::SetCallback(nullptr, nullptr);
        EXPECT_TRUE(context.Finished.load()); // once SetCallback has returned the old callback no longer runs
    });
    context.Release.set_value();
    replacer.join();
    writer.join();
}
} // namespace

TEST(DebugOutput, PacketSocketKeepsLinesAndAGoneReaderRaisesNoSignal)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    DebugOutput::SetFileDescriptor(fds[1]);
    Write("one\n");
    Write("two\n");
    char buffer[16];
    EXPECT_EQ(recv(fds[0], buffer, sizeof(buffer), 0), 4);
    EXPECT_EQ(recv(fds[0], buffer, sizeof(buffer), 0), 4);
    close(fds[0]);
    Write("after the reader\n"); // SIGPIPE would end the test program here
    DebugOutput::SetFileDescriptor(-1);
    close(fds[1]);
}
