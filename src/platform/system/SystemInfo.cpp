#include "SystemInfo.h"

#include "platform/com/Error.h"

#include <cstring>
#include <ctime>
#include <locale.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace HostSystem
{
std::string ProcessorBrandText()
{
#if defined(__x86_64__) || defined(__i386__)
    if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000004u)
        return {};
    unsigned int registers[12] {};
    for (unsigned int leaf = 0; leaf < 3; ++leaf)
    {
        unsigned int* r = registers + leaf * 4;
        __cpuid(0x80000002u + leaf, r[0], r[1], r[2], r[3]);
    }
    const char* text = reinterpret_cast<const char*>(registers);
    return std::string(text, ::strnlen(text, sizeof registers));
#else
    return {};
#endif
}

std::string ComputerName()
{
    char name[256] {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    std::string label(name);
    label.resize(label.find('.') == std::string::npos ? label.size() : label.find('.'));
    return label;
}

std::string FormatDateTime(std::chrono::system_clock::time_point time, bool utc)
{
    // The environment's LC_TIME without touching the process's global locale; "C" where the
    // environment names a locale that is not installed.
    locale_t locale = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (!locale)
        locale = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    XEV_CHECK(locale, E_OUTOFMEMORY);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts {};
    const bool split = utc ? ::gmtime_r(&seconds, &parts) != nullptr : ::localtime_r(&seconds, &parts) != nullptr;
    char text[256];
    const size_t length = split ? ::strftime_l(text, sizeof text, "%x %X", &parts, locale) : 0;
    ::freelocale(locale);
    XEV_CHECK(length > 0, E_FAIL);
    return std::string(text, length);
}
} // namespace HostSystem
