#pragma once
// Configuration: the tool's settings record.
//
// Made once per process with defaults taken from the executable's own path, changed by the
// command line (CommandLine.h), then by one Load of the JSON configuration file, and only read
// afterwards by the run.

#include "Console.h"

#include "platform/com/Types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Application
{
// One encoding pipeline's source format.
struct Task
{
    UINT32 RateN = 0; // frame-rate numerator
    UINT32 RateD = 0; // frame-rate denominator
    UINT32 SizeW = 0; // frame width in pixels
    UINT32 SizeH = 0; // frame height in pixels
};

// Results of the JSON load, as the platform's JSON classes report them.
inline constexpr HRESULT WEB_E_INVALID_JSON_STRING = MakeHResult(0x83750007);
inline constexpr HRESULT WEB_E_JSON_VALUE_NOT_FOUND = MakeHResult(0x83750009);
// A present key with a value of the wrong JSON type.
inline constexpr HRESULT WEB_E_JSON_WRONG_TYPE = E_ILLEGAL_METHOD_CALL;

// Run duration in seconds when the file gives none.
inline constexpr int64_t DefaultDuration = 10;
// The chat the run report goes to when the file has no "Tg" object.
inline constexpr int64_t DefaultChatIdentifier = -1001000000001;

// The process-wide chat identifier: 0 until a configuration load sets it.
int64_t ChatIdentifier() noexcept;

// The running executable's full path (no length limit).
std::string ExecutablePath();

class Configuration
{
public:
    // Defaults from the running executable.
    Configuration();
    // Defaults as for an executable at executablePath.
    explicit Configuration(const std::string& executablePath);

    // Reads the file at ConfigurationPath and applies it; a missing file changes nothing. A failure
    // writes one console line naming the file and the key (the byte offset for invalid JSON) and
    // throws its HRESULT; what was applied before the failing key stays applied.
    void Load(const Console::Writer& console = Console::WriteLine);

    std::string Directory;         // the executable's directory, no trailing separator
    std::string Name;              // the executable's file name without its extension
    std::string ConfigurationPath; // <Directory>/<Name>.Configuration.json unless -ConfigurationFile
    std::optional<int64_t> ProcessAffinityMask;
    std::vector<Task> Tasks;
    int64_t Duration = DefaultDuration; // seconds
    bool WriteStreams = false;
    UINT32 IterationCount = 1;
    int64_t IterationCooldownTime = 5; // seconds
    bool SoftwareEncoder = false;      // the software encoder even where a hardware one exists
    std::string ChatBaseAddress;       // the bot interface's base address with its credential; empty: no post
    std::string ResultsFile;           // where the results document goes; empty: none
    bool Capacity = false;             // search the largest real-time count of the first task's pipelines
};
} // namespace Application
