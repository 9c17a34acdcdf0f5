#include "platform/DirectoryTree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Tarvent::VirtualChannel {

namespace {

// 0 when `path` is a folder afterwards.
int makeOne(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) == 0) {
        return 0;
    }
    const int error = errno;
    if (error != EEXIST) {
        return error;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return errno;
    }
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

int createDirectoryTree(const std::string& path)
{
    if (path.empty()) {
        return ENOENT;
    }
    // Each prefix that ends just before a separator names one folder of the
    // chain; repeated separators give the same folder again, which is harmless.
    for (std::string::size_type slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (const int error = makeOne(path.substr(0, slash)); error != 0) {
            return error;
        }
    }
    return path.back() == '/' ? 0 : makeOne(path);
}

int checkWritableDirectory(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ENOTDIR;
    }
    return ::access(path.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

}  // namespace Tarvent::VirtualChannel
