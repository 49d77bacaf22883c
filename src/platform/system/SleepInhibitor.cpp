#include "SleepInhibitor.h"

#include "platform/com/Trace.h"

#include <systemd/sd-bus.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

SleepInhibitor::SleepInhibitor(const char* who, const char* why) noexcept
{
    sd_bus* bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0)
    {
        XEV_TRACE("this 0x%p, no system bus (%s): sleep not inhibited\n", static_cast<void*>(this), strerror(-result));
        return;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
        &error, &reply, "ssss", "sleep", who, why, "block");
    int descriptor = -1;
    if (result >= 0)
        result = sd_bus_message_read(reply, "h", &descriptor);
    // The descriptor belongs to the reply: keep a copy of it.
    if (result >= 0)
        m_Descriptor = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (m_Descriptor < 0)
        XEV_TRACE("this 0x%p, sleep not inhibited: %s\n", static_cast<void*>(this),
            error.message ? error.message : strerror(result < 0 ? -result : errno));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
}

SleepInhibitor::~SleepInhibitor()
{
    if (m_Descriptor >= 0)
        close(m_Descriptor);
}
