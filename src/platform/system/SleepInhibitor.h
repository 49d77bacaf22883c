#pragma once
// SleepInhibitor: keeps the machine from sleeping while it lives, through a logind "sleep"
// inhibitor lock taken over the system bus. Where there is no system bus or no logind (containers,
// minimal systems) it holds nothing and says so only in a trace line.

class SleepInhibitor
{
public:
    // who: the program's name; why: the reason logind shows.
    SleepInhibitor(const char* who, const char* why) noexcept;
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

private:
    int m_Descriptor = -1; // the inhibitor lock: closing it releases the lock
};
