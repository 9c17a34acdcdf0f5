#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "logging/AppenderBase.h"
#include "logging/FileAppenderConfig.h"
#include "logging/WriteBehindQueue.h"
#include "platform/AppendFile.h"
#include "platform/CrashFlush.h"

namespace Tarvent::VirtualChannel {

// Writes every log line into "<fileName>.log" in the log folder, each line
// with one write system call, and rotates it through "<fileName>-01.log", "-02.log", ... (higher is
// older) once it reaches `maxFileSize`. A live file that cannot be opened
// drops every line silently.
// With `writeBehind` the lines below error level go through a writer thread
// of its own (see FileAppenderConfig); readLogs() and fileCount() see them all,
// and a crash (a fatal signal or std::terminate) still writes what is queued,
// followed by the signal and the crashing thread's stack as fatal lines.
// A record with line breaks in it stays whole in one file: the live file is
// rotated only between records.
// Threads: append() on any logging thread (under the Logger's lock);
// readLogs() on the log archive's worker; the writer thread. Nothing here may
// log: the mutexes are not recursive.
class FileAppender : public AppenderBase {
public:
    // Creates the log folder (its parent must exist) and opens the live file.
    // Throws LoggerException when the folder cannot be created or listed.
    explicit FileAppender(FileAppenderConfig config);
    // Writes what is still queued.
    ~FileAppender() override;

    FileAppender(const FileAppender&) = delete;
    FileAppender& operator=(const FileAppender&) = delete;

    void append(const LogRecord& record) override;

    // The newest `maxBytes` bytes of all log files at most, oldest first,
    // beginning at a line start. A missing file in the numbering is skipped.
    virtual std::string readLogs(std::int64_t maxBytes);

    // Log files in the folder (the live file included), as kept by rotation.
    int fileCount();

    // Whether `name` is counted as one of this appender's log files: its
    // extension (from the first '.' on) is ".log" and it begins with `fileName`.
    bool isLogFile(const std::string& name) const;

private:
    std::string makeFileName(int index) const;
    std::string filePath(int index) const;
    int countLogFiles(const std::string& folder) const;
    void openLiveFile(bool truncate);
    void rotateIfNeeded();
    void rotate();
    // These expect mutex_ held.
    void writeBytes(const char* data, std::size_t size);
    void writeQueued();
    void writerLoop();
    // The crash handler's part: async-signal-safe (see CrashFlush::describeFrame).
    static void flushInCrash(void* self, const CrashFlush::Crash& crash) noexcept;

    std::mutex mutex_;  // guards everything below but the queue's part, and the log files; after the Logger's lock
    std::mutex queueMutex_;  // guards queue_'s records, writerAsleep_, stopping_; taken after mutex_
    std::condition_variable queueChanged_;
    std::unique_ptr<WriteBehindQueue> queue_;  // while writeBehind is set
    bool writerAsleep_ = false;
    bool stopping_ = false;
    std::thread writer_;  // runs while writeBehind is set
    const FileAppenderConfig config_;
    const std::int32_t indexWidth_ = 2;
    std::int32_t fileCount_ = 0;
    AppendFile file_;
    std::int64_t position_ = -1;  // the live file's size as written through file_; -1 once it failed
    std::unique_ptr<CrashFlush> crashFlush_;  // while writeBehind is set; last, so that it goes first
};

// The part of `name` after its last '/' from the first '.' on; empty without one.
std::string fileExtension(const std::string& name);

}  // namespace Tarvent::VirtualChannel
