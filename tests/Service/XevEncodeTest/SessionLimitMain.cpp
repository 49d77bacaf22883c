// The tool on a software runtime that refuses a third concurrent encode session, as drivers that cap
// sessions do. Built only with the tests; the shipped tool has no way to do this.

#include "Service/XevEncodeTest/Module.h"

#include "platform/encoder/SoftwareRuntime.h"

int main(int argc, char** argv)
{
    SoftwareEncoder::SetSessionLimit(2);
    return Application::EntryPoint(std::vector<std::string>(argv, argv + argc));
}
