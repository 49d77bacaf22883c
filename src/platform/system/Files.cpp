#include "Files.h"

#include "platform/com/Error.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace HostFiles
{
HRESULT HResultFromErrno(int error) noexcept
{
    switch (error)
    {
    case ENOENT: return E_FILE_NOT_FOUND;
    case ENOTDIR: return HResultFromWin32(3);       // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return E_ACCESSDENIED;
    case ENOMEM: return E_OUTOFMEMORY;
    case EMFILE:
    case ENFILE: return HResultFromWin32(4);        // ERROR_TOO_MANY_OPEN_FILES
    case ENOSPC:
    case EDQUOT: return HResultFromWin32(112);      // ERROR_DISK_FULL
    case ENAMETOOLONG: return HResultFromWin32(206); // ERROR_FILENAME_EXCED_RANGE
    default: return E_FAIL;
    }
}

void WriteFileReplacing(const std::string& path, std::span<const BYTE> data)
{
    const std::filesystem::path target(path);
    static std::atomic<unsigned> counter { 0 };
    // Hidden, unique to this process and call, in the target's directory so that the rename stays
    // on one file system.
    const std::string temporary = (target.parent_path() /
        ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp")).string();

    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        XEV_FAIL(HResultFromErrno(errno));
    int error = 0;
    for (size_t written = 0; written < data.size() && !error;)
    {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n >= 0)
            written += static_cast<size_t>(n);
        else if (errno != EINTR)
            error = errno;
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error && errno != EINTR)
        error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error)
    {
        ::unlink(temporary.c_str());
        XEV_FAIL(HResultFromErrno(error));
    }
}

int ReadWholeFile(const std::string& path, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buffer[16384];
    for (;;)
    {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n > 0)
        {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const int error = n < 0 ? errno : 0;
        ::close(fd);
        return error;
    }
}

std::string ExecutablePath()
{
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error)
        XEV_FAIL(HResultFromErrno(error.value()));
    // A program file replaced while it runs reads as "<path> (deleted)".
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
    return path;
}
} // namespace HostFiles
