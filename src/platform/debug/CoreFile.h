#pragma once
// Writes an ELF core file of a stopped process that gdb opens like one the kernel wrote: every
// thread's registers, the process's command, auxiliary vector and file mappings, and the chosen
// memory. Memory left out reads, in gdb, from the mapped files where they back it.

#include "Process.h"
#include "Tracer.h"

#include <string>
#include <utility>
#include <vector>

namespace Debug
{
struct CoreContent
{
    int Process = 0;
    int Signal = 0;                   // the signal the first thread stopped with (0: none)
    std::vector<ThreadState> Threads; // the thread the dump is about first
    std::vector<Mapping> Mappings;
    std::vector<std::pair<uint64_t, uint64_t>> Memory; // address ranges written with their contents
};

// Replaces the file at path. Throws the HRESULT of a failed write.
void WriteCoreFile(const std::string& path, const CoreContent& content, const Tracer& process);
} // namespace Debug
