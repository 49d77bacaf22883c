#include "Process.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

std::vector<Debug::Mapping> Debug::ReadMappings(int processIdentifier)
{
    const std::string path = processIdentifier == 0 ? "/proc/self/maps" : "/proc/" + std::to_string(processIdentifier) + "/maps";
    std::ifstream file(path);
    std::vector<Mapping> mappings;
    std::string line;
    while (std::getline(file, line))
    {
        // start-end perms offset major:minor inode   path
        Mapping m;
        char perms[5] = {};
        unsigned major = 0, minor = 0;
        unsigned long long start = 0, end = 0, offset = 0, inode = 0;
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %4s %llx %x:%x %llu %n", &start, &end, perms, &offset, &major, &minor, &inode, &pathAt) < 7)
            continue;
        m.Start = start;
        m.End = end;
        m.Offset = offset;
        m.Device = (static_cast<uint64_t>(major) << 32) | minor;
        m.Inode = inode;
        m.Read = perms[0] == 'r';
        m.Write = perms[1] == 'w';
        m.Execute = perms[2] == 'x';
        if (pathAt > 0 && static_cast<size_t>(pathAt) < line.size())
            m.Path = line.substr(static_cast<size_t>(pathAt));
        mappings.push_back(std::move(m));
    }
    return mappings;
}

const Debug::Mapping* Debug::FindMapping(const std::vector<Mapping>& mappings, uint64_t address) noexcept
{
    for (const Mapping& m : mappings)
        if (m.Contains(address))
            return &m;
    return nullptr;
}

int Debug::TracerProcessIdentifier() noexcept
{
    std::ifstream file("/proc/self/status");
    std::string line;
    while (std::getline(file, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return std::atoi(line.c_str() + 10);
    return 0;
}

std::string Debug::ExecutablePath()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::optional<uint64_t> Debug::TranslateAddress(const void* localAddress, const std::vector<Mapping>& remoteMappings)
{
    const auto address = reinterpret_cast<uint64_t>(localAddress);
    const std::vector<Mapping> local = ReadMappings();
    const Mapping* own = FindMapping(local, address);
    if (own == nullptr || !own->IsFile())
        return std::nullopt;
    const uint64_t fileOffset = address - own->Start + own->Offset;
    for (const Mapping& m : remoteMappings)
        if (m.Device == own->Device && m.Inode == own->Inode && fileOffset >= m.Offset && fileOffset < m.Offset + (m.End - m.Start))
            return m.Start + (fileOffset - m.Offset);
    return std::nullopt;
}

bool Debug::IsFaultSignal(int signal) noexcept
{
    switch (signal)
    {
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGABRT:
    case SIGSYS:
    case SIGTRAP:
        return true;
    default:
        return false;
    }
}

std::string Debug::SignalName(int signal)
{
    const char* name = ::sigabbrev_np(signal);
    return name != nullptr ? std::string("SIG") + name : "SIG" + std::to_string(signal);
}
