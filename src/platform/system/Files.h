#pragma once
// Files on the host: whole-file reads, whole-file writes that never leave a half-written file
// behind, and the path of the running program.

#include "platform/com/Types.h"

#include <span>
#include <string>

namespace HostFiles
{
// The HRESULT of a host error number (errno), as the Windows file functions report the like.
HRESULT HResultFromErrno(int error) noexcept;

// Makes `path` hold exactly `data`: writes a temporary file in the same directory, flushes it to
// the disk and renames it into place. On failure the file at `path` is as it was (absent or the
// previous content), the temporary file is removed and the failure's HRESULT is thrown.
void WriteFileReplacing(const std::string& path, std::span<const BYTE> data);

// Reads the whole file at `path` into `text`; returns 0 or the host error number (errno) of the
// failure, for the caller to word its own message.
int ReadWholeFile(const std::string& path, std::string& text);

// The path of the running program's file; throws the failure's HRESULT.
std::string ExecutablePath();
} // namespace HostFiles
