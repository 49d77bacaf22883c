#include "Supervisor.h"

bool Diagnostics::RunSupervisor(const std::vector<std::string>& arguments, const SupervisorSetup& setup)
{
    // No supervisor mode yet: this process is always the worker.
    return false;
}

void Diagnostics::PrepareWorker(const std::vector<std::string>& arguments)
{
    // -Debug and -DisableDebugOutput are accepted and have no effect yet.
}
