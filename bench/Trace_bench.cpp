// Cost of a trace line (paid on every traced call, with or without a reader), of handing a
// signal between two threads through Events, and of loading a configuration file.

#include "Service/XevEncodeTest/Configuration.h"
#include "platform/com/Trace.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Event.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace
{
void TraceLine(benchmark::State& state)
{
    std::atomic<size_t> bytes { 0 };
    if (state.range(0))
        DebugOutput::SetCallback([](void* context, const char*, std::size_t length) { *static_cast<std::atomic<size_t>*>(context) += length; }, &bytes);
    unsigned index = 0;
    for (auto _ : state)
    {
        XEV_TRACE("this 0x%p, Index %u, SampleTime %lld\n", &index, index, 333333LL * index);
        ++index;
    }
    DebugOutput::SetCallback(nullptr, nullptr);
    benchmark::DoNotOptimize(bytes.load());
}
// 0: no sink (the default); 1: a callback sink.
BENCHMARK(TraceLine)->Arg(0)->Arg(1);

void EventPingPong(benchmark::State& state)
{
    Sync::Event ping(Sync::Event::ResetMode::Auto), pong(Sync::Event::ResetMode::Auto);
    std::atomic<bool> stop { false };
    std::thread partner([&] {
        while (ping.Wait() && !stop.load())
            pong.Set();
    });
    for (auto _ : state)
    {
        ping.Set();
        pong.Wait();
    }
    stop = true;
    ping.Set();
    partner.join();
}
BENCHMARK(EventPingPong)->UseRealTime();

void ConfigurationLoad(benchmark::State& state)
{
    const auto path = std::filesystem::temp_directory_path() / ("xev-bench-" + std::to_string(getpid()) + ".json");
    {
        std::ofstream file(path);
        file << R"({"Duration": 10, "ProcessAffinityMask": "0xF", "Tg": {"ChatIdentifier": -1001234567890}, "Tasks": [)";
        for (int i = 0; i < state.range(0); ++i)
            file << (i ? "," : "") << R"({"SizeW": 1280, "SizeH": 720, "RateN": 30, "RateD": 1})";
        file << "]}";
    }
    for (auto _ : state)
    {
        Application::Configuration configuration("/opt/xev/XevEncodeTest");
        configuration.ConfigurationPath = path.string();
        configuration.Load([](std::string_view) {});
        benchmark::DoNotOptimize(configuration.Tasks.data());
    }
    std::filesystem::remove(path);
}
BENCHMARK(ConfigurationLoad)->Arg(2)->Arg(64);
} // namespace
