#include "app/EngineEntry.h"

#include <cstdio>

#include "app/Application.h"
#include "app/ServiceCommandLine.h"
#include "platform/AllocatorArenas.h"
#include "platform/Socket.h"
#include "sip/SipStack.h"

extern "C" int ovraEngineMain(int argc, char* argv[], int listeningFd)
{
    using namespace Tarvent::VirtualChannel;
    // Still the only thread of the process.
    limitAllocatorArenas();
    SipStack::applyProcessDefaults();
    // Lives until this returns, so that it is gone before the process-wide
    // logger it writes through.
    Application application{Socket(listeningFd)};
    return ServiceCommandLine(application, stdout, stderr).run(argc, argv);
}
