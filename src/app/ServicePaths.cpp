#include "app/ServicePaths.h"

#include "platform/DirectoryTree.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

std::string workingDirectory(const std::string& programData)
{
    return joinPath(joinPath(programData, kCompanyFolder), kWorkingFolder);
}

std::string registryFolder(const std::string& programData)
{
    return joinPath(joinPath(programData, kCompanyFolder), kRegistryFolder);
}

int createWorkingDirectory(const std::string& path)
{
    for (const char* folder : {kLogFolder, kRecordsFolder}) {
        if (const int error = createDirectoryTree(joinPath(path, folder)); error != 0) {
            return error;
        }
    }
    return 0;
}

}  // namespace Tarvent::VirtualChannel
