#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// A file opened for appending through a raw descriptor: each write() is one
// system call with no user-space buffer, so a line is on disk (in the page
// cache) once write() returns, and other processes may read and write the
// file meanwhile. Owns the descriptor. One thread at a time.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();

    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating it) `path`, emptied first when `truncate`; closes a file
    // opened before. False when it cannot be opened.
    bool open(const std::string& path, bool truncate);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Appends all `size` bytes; false when the file is not open or a write failed.
    bool write(const char* data, std::size_t size);

    // The file's current size, -1 when it is not open or cannot be asked.
    std::int64_t size() const;

private:
    int fd_ = -1;
};

}  // namespace Tarvent::VirtualChannel
