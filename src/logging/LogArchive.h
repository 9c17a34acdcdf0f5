#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Tarvent::VirtualChannel {

class FileAppender;
class IAppServiceCallback;

// Packs the newest 2 MiB of the log into "ovra_log.zip" in the log folder on a
// worker thread of its own and hands the zip file out in parts of 2000 bytes.
// Threads: start/getPart/clear on the message-handling thread; setFileAppender,
// wait and the destructor on the service thread; the worker on its own thread.
class LogArchive {
public:
    static constexpr std::int64_t kMaxLogBytes = 2097152;
    static constexpr std::size_t kPartSize = 2000;

    // `callback` must outlive the archive (or its last worker). Creates no file.
    LogArchive(IAppServiceCallback* callback, const std::string& logDirectory);
    // Waits for a running worker.
    ~LogArchive();

    LogArchive(const LogArchive&) = delete;
    LogArchive& operator=(const LogArchive&) = delete;

    // The appender whose logs are packed; null while there is none. It must
    // stay alive until it is replaced here and wait() has returned.
    void setFileAppender(FileAppender* fileAppender);

    // Builds a new archive for `requestId` on a worker thread and returns at
    // once; a worker still running is waited for first. The callback always
    // hears back: with the part count, or with the failure's text.
    void start(std::uint64_t requestId);

    // Waits for the worker of the last start() to end.
    void wait();

    // A copy of part `index`; throws std::runtime_error "Index out of range: <index>".
    std::vector<char> getPart(int index);

    // Drops the parts and deletes the zip file.
    void clear();

private:
    void run(std::uint64_t requestId);
    int build();

    std::mutex workerMutex_;  // guards worker_; taken before mutex_, never by the worker
    std::mutex mutex_;        // guards fileAppender_ and parts_; before the Logger's lock
    IAppServiceCallback* const callback_;
    FileAppender* fileAppender_ = nullptr;
    const std::string zipPath_;
    std::vector<std::vector<char>> parts_;
    std::thread worker_;
};

// The bytes of the file at `path` in parts of `partSize` bytes (the last one
// shorter), in order. A file whose size cannot be taken gives no parts.
// Throws std::runtime_error when the file cannot be opened or read.
std::vector<std::vector<char>> splitFile(const std::string& path, std::size_t partSize);

}  // namespace Tarvent::VirtualChannel
