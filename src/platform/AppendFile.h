#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Tarvent::VirtualChannel {

// A file opened for appending through a raw descriptor: each write() is one
// system call with no user-space buffer, so a line is on disk (in the page
// cache) once write() returns, and other processes may read and write the
// file meanwhile. Owns the descriptor. One thread at a time, but for
// writeInCrash, which may run in a signal handler beside that thread.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();

    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating it) `path`, emptied first when `truncate`, in place of
    // a file opened before, which is replaced only once the new one is open:
    // a writeInCrash meanwhile lands in one file or the other. False (and no
    // file open) when it cannot be opened.
    bool open(const std::string& path, bool truncate);
    void close();
    bool isOpen() const { return fd_.load(std::memory_order_relaxed) >= 0; }

    // Appends all `size` bytes; false when the file is not open or a write failed.
    bool write(const char* data, std::size_t size);

    // As write, but async-signal-safe: for a crash handler that must get the
    // last lines out while another thread may be in the middle of anything.
    bool writeInCrash(const char* data, std::size_t size) const noexcept;

    // The file's current size, -1 when it is not open or cannot be asked.
    std::int64_t size() const;

private:
    static bool writeAll(int fd, const char* data, std::size_t size) noexcept;

    std::atomic<int> fd_{-1};
    static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");
};

}  // namespace Tarvent::VirtualChannel
