#include "app/RegistryKey.h"

#include <cerrno>
#include <functional>
#include <stdexcept>

#include "app/ServicePaths.h"
#include "platform/AtomicFile.h"
#include "platform/DirectoryTree.h"
#include "platform/ProcessPaths.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

namespace {

// A key or value name must stay one folder or file inside its parent.
bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The folder of `subKey` below `rootFolder` into `folder`; 0 or EINVAL.
int keyFolder(const std::string& rootFolder, const std::string& subKey, std::string& folder)
{
    folder = rootFolder;
    if (subKey.empty()) {
        return 0;  // the root itself
    }
    std::string::size_type begin = 0;
    for (;;) {
        const auto end = subKey.find('\\', begin);
        const std::string name = subKey.substr(begin, end == std::string::npos ? end : end - begin);
        if (!isPlainName(name)) {
            return EINVAL;
        }
        folder = joinPath(folder, name);
        if (end == std::string::npos) {
            return 0;
        }
        begin = end + 1;
    }
}

}  // namespace

const char* registryRootName(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    }
    return "UNKNOWN";
}

RegistryKey RegistryKey::create(RegistryRoot root, const char* subKey)
{
    const std::string key = subKey != nullptr ? subKey : "";
    const std::string rootFolder = joinPath(registryFolder(programDataFolder()), registryRootName(root));
    std::string folder;
    int result = subKey != nullptr ? keyFolder(rootFolder, key, folder) : EINVAL;
    if (result == 0) {
        result = createDirectoryTree(folder);
    }
    if (result != 0) {
        throw std::runtime_error(makeString("Failed to create registry key: result=", result, "; subKey=", key));
    }
    return RegistryKey(std::move(folder));
}

void RegistryKey::setString(const char* name, const char* value) const
{
    const std::string valueName = name != nullptr ? name : "";
    int result = valueError(valueName);
    if (result == 0) {
        result = value != nullptr ? replaceFile(joinPath(folder_, valueName), value) : EINVAL;
    }
    if (result != 0) {
        throw std::runtime_error(
            makeString("Failed to set registry value: name=\"", valueName, "\"; result=", result));
    }
}

bool RegistryKey::getString(const char* name, std::string& value) const
{
    return onExistingValue(name, "read", [&value](const std::string& path) { return readWholeFile(path, value); });
}

bool RegistryKey::deleteValue(const char* name) const
{
    return onExistingValue(name, "delete", [](const std::string& path) { return removeFile(path); });
}

bool RegistryKey::onExistingValue(const char* name, const char* verb,
                                  const std::function<int(const std::string& path)>& operation) const
{
    const std::string valueName = name != nullptr ? name : "";
    int result = valueError(valueName);
    if (result == 0) {
        result = operation(joinPath(folder_, valueName));
    }
    if (result == ENOENT) {
        return false;
    }
    if (result != 0) {
        throw std::runtime_error(
            makeString("Failed to ", verb, " registry value: name=\"", valueName, "\"; result=", result));
    }
    return true;
}

int RegistryKey::valueError(const std::string& name) const
{
    // A moved-from key has no folder left to work in.
    if (folder_.empty()) {
        return EBADF;
    }
    return isPlainName(name) ? 0 : EINVAL;
}

}  // namespace Tarvent::VirtualChannel
