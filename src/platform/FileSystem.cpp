#include "platform/FileSystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace Tarvent::VirtualChannel {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

bool isDirectory(const std::string& folder, const dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) {
        return entry.d_type == DT_DIR;
    }
    // Some file systems do not fill d_type, and a link may point at a folder.
    struct stat info {};
    const std::string path = folder + kPathSeparator + entry.d_name;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool createDirectory(const std::string& path)
{
    // EEXIST is also what a plain file of that name gives; the log folder's
    // users find out when they open it, and report it as an unreadable folder.
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool directoryExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

ListResult listFiles(const std::string& folder, std::vector<std::string>& names)
{
    names.clear();
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        return errno == ENOENT ? ListResult::NotFound : ListResult::OpenFailed;
    }
    for (;;) {
        // readdir only sets errno on failure; the end of the listing leaves it alone.
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            return errno == 0 ? ListResult::Ok : ListResult::ReadFailed;
        }
        if (!isDirectory(folder, *entry)) {
            names.emplace_back(entry->d_name);
        }
    }
}

std::string executableFolder()
{
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
        return {};
    }
    path.resize(static_cast<std::size_t>(length));
    const auto slash = path.rfind(kPathSeparator);
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string(1, kPathSeparator) : path.substr(0, slash);
}

}  // namespace Tarvent::VirtualChannel
