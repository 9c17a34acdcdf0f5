#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

namespace Tarvent::VirtualChannel {

// A file read and written at positions of the caller's choosing, through a
// raw descriptor (no user-space buffer), with a flush to the disk on request.
// Owns the descriptor. readAt, writeAt and size may run on several threads at
// once (each names its own position); read keeps one position of its own and
// is for one thread at a time, like open.
// Every operation returns 0 or the errno of the step that failed.
class RandomAccessFile {
public:
    enum class Mode {
        ReadOnly,        // an existing file
        ReadWrite,       // an existing file
        CreateTruncate,  // created when missing, emptied when present (mode 0644)
    };

    RandomAccessFile() = default;

    RandomAccessFile(RandomAccessFile&&) noexcept = default;
    RandomAccessFile& operator=(RandomAccessFile&&) noexcept = default;
    RandomAccessFile(const RandomAccessFile&) = delete;
    RandomAccessFile& operator=(const RandomAccessFile&) = delete;

    // In place of a file opened before.
    int open(const std::string& path, Mode mode);
    bool isOpen() const { return fd_.valid(); }

    // Up to `size` bytes from `offset`; `got` < `size` only at the end of the file.
    int readAt(std::uint64_t offset, char* data, std::size_t size, std::size_t& got) const;
    // The next bytes after the last read (also from a pipe); `got` is 0 at the end.
    int read(char* data, std::size_t size, std::size_t& got);
    // All `size` bytes at `offset`.
    int writeAt(std::uint64_t offset, const char* data, std::size_t size);
    int size(std::uint64_t& bytes) const;
    int truncate(std::uint64_t bytes);
    // The file's data (and its size) on the disk, as fdatasync makes it.
    int syncData();

private:
    UniqueFd fd_;
};

}  // namespace Tarvent::VirtualChannel
