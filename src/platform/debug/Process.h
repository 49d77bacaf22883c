#pragma once
// What the host tells about a process: its mappings, its tracer, its executable, and where an
// address of this process's own modules lies in another process running the same modules.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Debug
{
struct Mapping
{
    uint64_t Start = 0;
    uint64_t End = 0;
    uint64_t Offset = 0; // file offset of Start
    uint64_t Device = 0;
    uint64_t Inode = 0;
    bool Read = false;
    bool Write = false;
    bool Execute = false;
    std::string Path; // empty for anonymous memory; "[stack]", "[vdso]" and the like for special areas

    bool Contains(uint64_t address) const noexcept { return address >= Start && address < End; }
    bool IsFile() const noexcept { return Inode != 0 && !Path.empty() && Path.front() == '/'; }
};

// The mappings of a process (0: this process), in address order; empty when they cannot be read.
std::vector<Mapping> ReadMappings(int processIdentifier = 0);
const Mapping* FindMapping(const std::vector<Mapping>& mappings, uint64_t address) noexcept;

// The process that traces this one, 0 when none.
int TracerProcessIdentifier() noexcept;

// The full path of this process's executable.
std::string ExecutablePath();

// Where `localAddress` (code or data of a module mapped in this process) lies in another process
// that maps the same file; nothing when that process does not map it.
std::optional<uint64_t> TranslateAddress(const void* localAddress, const std::vector<Mapping>& remoteMappings);

// A signal that reports a fault of the thread it stops: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT,
// SIGSYS and SIGTRAP.
bool IsFaultSignal(int signal) noexcept;
// "SIGSEGV" and the like; "SIG" and the number for signals without a name.
std::string SignalName(int signal);
} // namespace Debug
