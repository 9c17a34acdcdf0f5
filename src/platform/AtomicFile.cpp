#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/UniqueFd.h"

namespace Tarvent::VirtualChannel {

namespace {

int writeAll(int fd, const std::string& content)
{
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

std::string parentFolder(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename or link itself survive a crash. A folder that cannot be
// synced does not undo the write, so failures are not reported.
void syncFolder(const std::string& folder)
{
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        ::fsync(fd.get());
    }
}

// Writes `content` to a fresh temporary file beside `path` and stores its
// name in `tempPath`. Returns 0 or an errno; on failure nothing is left behind.
int writeTemporary(const std::string& path, const std::string& content, std::string& tempPath)
{
    std::string pattern = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return errno;
    }
    int error = ::fchmod(fd.get(), 0644) == 0 ? 0 : errno;
    if (error == 0) {
        error = writeAll(fd.get(), content);
    }
    if (error == 0 && ::fsync(fd.get()) != 0) {
        error = errno;
    }
    // A failed close can report a lost write (on network file systems).
    if (const int closeError = fd.reset(); error == 0) {
        error = closeError;
    }
    if (error != 0) {
        ::unlink(pattern.c_str());
        return error;
    }
    tempPath = std::move(pattern);
    return 0;
}

}  // namespace

int replaceFile(const std::string& path, const std::string& content)
{
    std::string tempPath;
    if (const int error = writeTemporary(path, content, tempPath); error != 0) {
        return error;
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        return error;
    }
    syncFolder(parentFolder(path));
    return 0;
}

int createFileExclusive(const std::string& path, const std::string& content)
{
    std::string tempPath;
    if (const int error = writeTemporary(path, content, tempPath); error != 0) {
        return error;
    }
    // link, unlike rename, refuses to replace an existing name.
    const int error = ::link(tempPath.c_str(), path.c_str()) == 0 ? 0 : errno;
    ::unlink(tempPath.c_str());
    if (error == 0) {
        syncFolder(parentFolder(path));
    }
    return error;
}

int readWholeFile(const std::string& path, std::string& content)
{
    content.clear();
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return errno;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

int removeFile(const std::string& path)
{
    if (::unlink(path.c_str()) != 0) {
        return errno;
    }
    syncFolder(parentFolder(path));
    return 0;
}

}  // namespace Tarvent::VirtualChannel
