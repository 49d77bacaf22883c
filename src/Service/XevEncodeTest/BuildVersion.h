#pragma once
// Version strings of the banner, written into a generated source file at build time
// (cmake/Version.cmake): empty when git is not available.

namespace BuildVersion
{
extern const char* const GitDescribe;   // git describe --always --dirty --tags
extern const char* const GitLog;        // the last commit: short hash, date and subject
extern const char* const Configuration; // the build type (Release, RelWithDebInfo, ...)
} // namespace BuildVersion
