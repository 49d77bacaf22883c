#include "CoreFile.h"

#include "platform/com/Error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/procfs.h>
#include <unistd.h>

namespace
{
constexpr uint64_t PageSize = 4096;
constexpr uint32_t NoteFile = 0x46494c45; // NT_FILE

void AppendNote(std::string& notes, uint32_t type, const void* data, size_t size)
{
    const char name[] = "CORE";
    const Elf64_Nhdr header { sizeof(name), static_cast<Elf64_Word>(size), type };
    notes.append(reinterpret_cast<const char*>(&header), sizeof(header));
    notes.append(name, sizeof(name));
    notes.append((4 - notes.size() % 4) % 4, '\0');
    notes.append(static_cast<const char*>(data), size);
    notes.append((4 - notes.size() % 4) % 4, '\0');
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Notes(const Debug::CoreContent& content)
{
    std::string notes;
    const std::string proc = "/proc/" + std::to_string(content.Process);
    bool first = true;
    for (const Debug::ThreadState& thread : content.Threads)
    {
        elf_prstatus status {};
        status.pr_pid = thread.Thread;
        status.pr_ppid = ::getppid();
        status.pr_pgrp = ::getpgid(content.Process);
        status.pr_sid = ::getsid(content.Process);
        if (first)
        {
            status.pr_cursig = static_cast<short>(content.Signal);
            status.pr_info.si_signo = content.Signal;
        }
        static_assert(sizeof(status.pr_reg) == sizeof(thread.Registers));
        std::memcpy(&status.pr_reg, thread.Registers.data(), sizeof(status.pr_reg));
        status.pr_fpvalid = 1;
        AppendNote(notes, NT_PRSTATUS, &status, sizeof(status));
        if (first)
        {
            // Process-wide notes follow the first thread's status, as the kernel writes them.
            elf_prpsinfo info {};
            info.pr_pid = content.Process;
            info.pr_ppid = ::getppid();
            info.pr_sname = 'R';
            std::string command = ReadWholeFile(proc + "/comm");
            if (!command.empty() && command.back() == '\n')
                command.pop_back();
            std::strncpy(info.pr_fname, command.c_str(), sizeof(info.pr_fname) - 1);
            std::string arguments = ReadWholeFile(proc + "/cmdline");
            std::replace(arguments.begin(), arguments.end(), '\0', ' ');
            std::strncpy(info.pr_psargs, arguments.c_str(), sizeof(info.pr_psargs) - 1);
            AppendNote(notes, NT_PRPSINFO, &info, sizeof(info));
            const std::string auxv = ReadWholeFile(proc + "/auxv");
            AppendNote(notes, NT_AUXV, auxv.data(), auxv.size());
            std::vector<uint64_t> table { 0, PageSize };
            std::string names;
            for (const Debug::Mapping& m : content.Mappings)
                if (m.IsFile())
                {
                    table.insert(table.end(), { m.Start, m.End, m.Offset / PageSize });
                    names.append(m.Path).push_back('\0');
                    ++table[0];
                }
            std::string files(reinterpret_cast<const char*>(table.data()), table.size() * sizeof(uint64_t));
            files += names;
            AppendNote(notes, NoteFile, files.data(), files.size());
        }
        AppendNote(notes, NT_FPREGSET, thread.FloatingPoint.data(), thread.FloatingPoint.size());
        first = false;
    }
    return notes;
}

struct Segment
{
    uint64_t Start;
    uint64_t End;
    uint32_t Flags;
    bool WithContents;
};

// Every mapping as segments; the parts inside content.Memory carry their bytes.
std::vector<Segment> Segments(const Debug::CoreContent& content)
{
    std::vector<Segment> segments;
    for (const Debug::Mapping& m : content.Mappings)
    {
        if (m.Path == "[vsyscall]")
            continue;
        const uint32_t flags = (m.Read ? PF_R : 0) | (m.Write ? PF_W : 0) | (m.Execute ? PF_X : 0);
        uint64_t at = m.Start;
        for (const auto& [start, end] : content.Memory)
        {
            const uint64_t from = std::max(start, m.Start);
            const uint64_t to = std::min(end, m.End);
            if (from >= to || from < at)
                continue;
            if (from > at)
                segments.push_back({ at, from, flags, false });
            segments.push_back({ from, to, flags, m.Read });
            at = to;
        }
        if (at < m.End)
            segments.push_back({ at, m.End, flags, false });
    }
    return segments;
}

class Output
{
public:
    explicit Output(const std::string& path) : m_Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644))
    {
        if (m_Fd < 0)
            XEV_FAIL(HResultFromWin32(static_cast<uint32_t>(errno)));
    }
    ~Output()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    void Write(const void* data, size_t size)
    {
        const char* bytes = static_cast<const char*>(data);
        while (size > 0)
        {
            const ssize_t n = ::write(m_Fd, bytes, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                XEV_FAIL(HResultFromWin32(static_cast<uint32_t>(n < 0 ? errno : ENOSPC)));
            bytes += n;
            size -= static_cast<size_t>(n);
        }
    }
    void Close()
    {
        const int fd = m_Fd;
        m_Fd = -1;
        if (::close(fd) != 0)
            XEV_FAIL(HResultFromWin32(static_cast<uint32_t>(errno)));
    }

private:
    int m_Fd;
};
} // namespace

void Debug::WriteCoreFile(const std::string& path, const CoreContent& content, const Tracer& process)
{
    const std::string notes = Notes(content);
    const std::vector<Segment> segments = Segments(content);
    Elf64_Ehdr header {};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_ident[EI_OSABI] = ELFOSABI_NONE;
    header.e_type = ET_CORE;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    header.e_phoff = sizeof(Elf64_Ehdr);
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = static_cast<Elf64_Half>(segments.size() + 1);

    std::vector<Elf64_Phdr> programHeaders;
    uint64_t offset = sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) * (segments.size() + 1);
    programHeaders.push_back({ PT_NOTE, 0, offset, 0, 0, notes.size(), 0, 4 });
    offset = (offset + notes.size() + PageSize - 1) / PageSize * PageSize;
    const uint64_t dataStart = offset;
    for (const Segment& s : segments)
    {
        const uint64_t size = s.WithContents ? s.End - s.Start : 0;
        programHeaders.push_back({ PT_LOAD, s.Flags, s.WithContents ? offset : 0, s.Start, 0, size, s.End - s.Start, PageSize });
        offset += size;
    }

    Output file(path);
    file.Write(&header, sizeof(header));
    file.Write(programHeaders.data(), programHeaders.size() * sizeof(Elf64_Phdr));
    file.Write(notes.data(), notes.size());
    const std::string padding(dataStart - sizeof(Elf64_Ehdr) - programHeaders.size() * sizeof(Elf64_Phdr) - notes.size(), '\0');
    file.Write(padding.data(), padding.size());
    std::vector<char> buffer(1 << 20);
    for (const Segment& s : segments)
    {
        if (!s.WithContents)
            continue;
        for (uint64_t at = s.Start; at < s.End;)
        {
            const size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), s.End - at));
            // Pages that cannot be read (guard pages, mappings gone) are written as zeros.
            const size_t read = process.Read(at, buffer.data(), chunk);
            std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(read), buffer.begin() + static_cast<std::ptrdiff_t>(chunk), '\0');
            for (uint64_t page = (at + read) / PageSize * PageSize + PageSize; page < at + chunk; page += PageSize)
                process.Read(page, buffer.data() + (page - at), static_cast<size_t>(std::min<uint64_t>(PageSize, at + chunk - page)));
            file.Write(buffer.data(), chunk);
            at += chunk;
        }
    }
    file.Close();
}
