#include "Module.h"

int main(int argc, char** argv)
{
    return Application::EntryPoint(std::vector<std::string>(argv, argv + argc));
}
