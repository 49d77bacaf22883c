#include "platform/system/DebugOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
// A pipe whose reading end is drained by a thread; Stop returns everything read.
class PipeReader
{
public:
    PipeReader()
    {
        EXPECT_EQ(pipe2(m_Fds, O_CLOEXEC), 0);
        m_Reader = std::async(std::launch::async, [fd = m_Fds[0]] {
            std::string text;
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof(buffer))) > 0)
                text.append(buffer, static_cast<size_t>(n));
            return text;
        });
    }
    ~PipeReader()
    {
        if (m_Fds[1] >= 0)
            Stop();
    }
    int WriteEnd() const { return m_Fds[1]; }
    std::string Stop()
    {
        close(m_Fds[1]);
        m_Fds[1] = -1;
        std::string text = m_Reader.get();
        close(m_Fds[0]);
        return text;
    }

private:
    int m_Fds[2] = { -1, -1 };
    std::future<std::string> m_Reader;
};

void Write(const std::string& line)
{
    DebugOutput::Write(line.data(), line.size());
}

struct Collector
{
    static void OnLine(void* context, const char* line, std::size_t length)
    {
        static_cast<Collector*>(context)->Lines.emplace_back(line, length);
    }
    std::vector<std::string> Lines;
};

TEST(DebugOutput, GoesNowhereUntilASinkIsSet)
{
    Write("dropped\n"); // no sink: nothing happens
    PipeReader pipe;
    Collector collector;
    DebugOutput::SetFileDescriptor(pipe.WriteEnd());
    DebugOutput::SetCallback(&Collector::OnLine, &collector);
    Write("one\n");
    const char partial[] = "two\nNOT THIS";
    DebugOutput::Write(partial, 4); // exactly the length given
    DebugOutput::SetFileDescriptor(-1);
    DebugOutput::SetCallback(nullptr, nullptr);
    Write("after\n");
    EXPECT_EQ(pipe.Stop(), "one\ntwo\n");
    EXPECT_EQ(collector.Lines, (std::vector<std::string> { "one\n", "two\n" }));
}

TEST(DebugOutput, LinesOfConcurrentWritersStayWholeOnAPipe)
{
    PipeReader pipe;
    DebugOutput::SetFileDescriptor(pipe.WriteEnd());
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
    const std::string text = pipe.Stop();
    ASSERT_EQ(text.size(), static_cast<size_t>(threads * perThread * 201));
    for (size_t offset = 0; offset < text.size(); offset += 201)
    {
        const std::string line = text.substr(offset, 201);
        ASSERT_EQ(line, std::string(200, line[0]) + "\n") << "at " << offset;
    }
}

TEST(DebugOutput, ReplacingTheCallbackWaitsForRunningCalls)
{
    std::promise<void> entered, release;
    std::atomic<bool> finished { false };
    struct Context
    {
        std::promise<void>* Entered;
        std::shared_future<void> Release;
        std::atomic<bool>* Finished;
    } context { &entered, release.get_future().share(), &finished };
    DebugOutput::SetCallback(
        [](void* c, const char*, std::size_t) {
            auto* self = static_cast<Context*>(c);
            self->Entered->set_value();
            self->Release.wait();
            *self->Finished = true;
        },
        &context);
    std::thread writer([] { Write("blocked\n"); });
    entered.get_future().wait();
    std::thread replacer([&] {
        DebugOutput::SetCallback(nullptr, nullptr);
        // Once SetCallback has returned the old callback no longer runs.
        EXPECT_TRUE(finished.load());
    });
    release.set_value();
    replacer.join();
    writer.join();
}
} // namespace
