#include <cstdio>

#include "app/Application.h"
#include "app/ServiceCommandLine.h"

int main(int argc, char* argv[])
{
    using namespace Tarvent::VirtualChannel;
    // Lives until main returns, so that it is gone before the process-wide
    // logger it writes through.
    Application application;
    return ServiceCommandLine(application, stdout, stderr).run(argc, argv);
}
