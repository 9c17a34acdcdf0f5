#include "logging/FileAppender.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

#include "logging/LogRecord.h"
#include "logging/LoggerException.h"
#include "logging/PatternLayout.h"
#include "platform/CrashText.h"
#include "platform/FileSystem.h"
#include "platform/SystemTime.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

namespace {

// How often the writer looks for queued lines while lines keep coming; it
// sleeps until woken after kWriterIdle without any. Short, so that a quiet
// engine's occasional line costs a few wake-ups, not a period of polling.
constexpr std::chrono::milliseconds kWriterPeriod{1};
constexpr std::chrono::milliseconds kWriterIdle{4};
// Beyond this much queued text the logging thread writes it itself.
constexpr std::size_t kMaxQueued = 1048576;

// One fatal line of a crash report in the log's own format ("<date>
// <time> <thread> F <text>"), written with one write as every line is.
// Async-signal-safe, as far as `describe` is.
template <class Describe>
void writeCrashLine(const AppendFile& file, std::uint32_t threadId, Describe describe) noexcept
{
    CrashText line;
    const SystemTime now = getLocalTimeInCrash();
    line.addDecimal(now.wYear, 4).add('-').addDecimal(now.wMonth, 2).add('-').addDecimal(now.wDay, 2).add(' ');
    line.addDecimal(now.wHour, 2).add(':').addDecimal(now.wMinute, 2).add(':').addDecimal(now.wSecond, 2);
    line.add('.').addDecimal(now.wMilliseconds, 3).add(' ').addHexDigits(threadId).add(' ');
    line.add(logLevelLetter(Fatal)).add(' ');
    describe(line);
    line.endLine();
    file.writeInCrash(line.data(), line.size());
}

}  // namespace

std::string fileExtension(const std::string& name)
{
    const auto slash = name.rfind(kPathSeparator);
    const auto start = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = name.find('.', start);
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

FileAppender::FileAppender(FileAppenderConfig config) : config_(std::move(config))
{
    setLayout(std::make_unique<PatternLayout>());
    if (!createDirectory(config_.directory)) {
        throw LoggerException("Failed to create directory.");
    }
    openLiveFile(false);
    fileCount_ = countLogFiles(config_.directory);
    if (config_.writeBehind) {
        queue_ = std::make_unique<WriteBehindQueue>(kMaxQueued);
        writer_ = std::thread([this] { writerLoop(); });
        crashFlush_ = std::make_unique<CrashFlush>(&FileAppender::flushInCrash, this);
    }
}

FileAppender::~FileAppender()
{
    // No crash handler may reach into this object from here on.
    crashFlush_.reset();
    if (writer_.joinable()) {
        {
            const std::lock_guard<std::mutex> queueLock(queueMutex_);
            stopping_ = true;
        }
        queueChanged_.notify_one();
        writer_.join();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    writeQueued();
}

void FileAppender::flushInCrash(void* self, const CrashFlush::Crash& crash) noexcept
{
    auto* const appender = static_cast<FileAppender*>(self);
    appender->queue_->crashDrain(
        [](void* file, const char* data, std::size_t size) noexcept {
            static_cast<const AppendFile*>(file)->writeInCrash(data, size);
        },
        &appender->file_);
    // What a user sends in about a crash: the signal and the crashing
    // thread's stack, after everything logged before. std::terminate ends
    // in an abort, whose signal reports it.
    if (crash.signal == 0) {
        return;
    }
    const AppendFile& file = appender->file_;
    writeCrashLine(file, crash.threadId, [&crash](CrashText& line) { CrashFlush::describeSignal(crash, line); });
    for (int i = 0; i < crash.frameCount; ++i) {
        writeCrashLine(file, crash.threadId, [&crash, i](CrashText& line) { CrashFlush::describeFrame(crash, i, line); });
    }
}

void FileAppender::append(const LogRecord& record)
{
    ILayout* const layout = getLayout();
    // Appends are serialised by the Logger's lock, so the layout needs no lock of ours.
    const std::string line = layout != nullptr ? layout->format(record) : record.message + '\n';
    if (queue_ && record.level < Error) {
        bool queued = false;
        bool wake = false;
        {
            const std::lock_guard<std::mutex> queueLock(queueMutex_);
            queued = queue_->push(line);
            wake = queued && writerAsleep_;
        }
        if (wake) {
            queueChanged_.notify_one();
        }
        if (queued) {
            return;
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    writeQueued();  // what came before goes first
    writeBytes(line.data(), line.size());
    rotateIfNeeded();
}

void FileAppender::writeBytes(const char* data, std::size_t size)
{
    // Kept by hand: asking the file costs a system call per line.
    position_ = position_ >= 0 && file_.write(data, size) ? position_ + static_cast<std::int64_t>(size) : -1;
}

void FileAppender::writeQueued()
{
    if (!queue_) {
        return;
    }
    for (;;) {
        // Up to the end of the record that reaches the size limit, which
        // rotates the file as if the records had come one by one.
        const std::uint64_t room =
            position_ < 0 ? UINT64_MAX
                          : static_cast<std::uint64_t>(std::max<std::int64_t>(config_.maxFileSize - position_, 1));
        WriteBehindQueue::Run run;
        {
            const std::lock_guard<std::mutex> queueLock(queueMutex_);
            if (!queue_->take(room, run)) {
                return;
            }
        }
        writeBytes(run.data[0], run.size[0]);
        if (run.size[1] > 0) {
            writeBytes(run.data[1], run.size[1]);
        }
        // Before the rotation: a crash handler that waits for this run then
        // finds the live file's descriptor in place.
        queue_->written();
        rotateIfNeeded();
    }
}

void FileAppender::writerLoop()
{
    auto lastLine = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> queueLock(queueMutex_);
    for (;;) {
        if (!queue_->empty()) {
            queueLock.unlock();
            try {
                const std::lock_guard<std::mutex> lock(mutex_);
                writeQueued();
            } catch (...) {
                // Out of memory while rotating: the thread goes on.
            }
            lastLine = std::chrono::steady_clock::now();
            queueLock.lock();
            continue;
        }
        if (stopping_) {
            return;
        }
        if (std::chrono::steady_clock::now() - lastLine < kWriterIdle) {
            // Polling while busy spares every logging thread a wake-up call.
            queueChanged_.wait_for(queueLock, kWriterPeriod);
        } else {
            writerAsleep_ = true;
            queueChanged_.wait(queueLock, [this] { return !queue_->empty() || stopping_; });
            writerAsleep_ = false;
        }
    }
}

std::string FileAppender::readLogs(std::int64_t maxBytes)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    writeQueued();
    std::int64_t budget = maxBytes;
    std::vector<std::string> chunks;  // newest first
    for (int i = 0; i < fileCount_ && budget > 0; ++i) {
        std::ifstream file(filePath(i), std::ios::in | std::ios::binary);
        if (!file.seekg(0, std::ios::end)) {
            continue;  // a gap in the numbering: nothing of it belongs to the log
        }
        const std::int64_t size = file.tellg();
        if (size <= 0) {
            continue;
        }
        const std::int64_t window = std::min(budget, size);
        if (!file.seekg(size - window, std::ios::beg)) {
            continue;
        }
        std::string chunk(static_cast<std::size_t>(window), '\0');
        file.read(chunk.data(), window);
        // A short read (the file shrank meanwhile) keeps only what was really read.
        chunk.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
        if (budget < size) {
            // The window starts inside a line: keep what follows its first line feed.
            const auto newline = chunk.find('\n');
            chunk.erase(0, newline == std::string::npos ? chunk.size() : newline + 1);
        }
        // The discarded head is not charged, so the older file gets that much more.
        budget -= static_cast<std::int64_t>(chunk.size());
        chunks.push_back(std::move(chunk));
    }
    std::string out;
    for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) {
        out += *it;
    }
    return out;
}

int FileAppender::fileCount()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    writeQueued();
    return fileCount_;
}

bool FileAppender::isLogFile(const std::string& name) const
{
    return fileExtension(name) == ".log" && name.compare(0, config_.fileName.size(), config_.fileName) == 0;
}

std::string FileAppender::makeFileName(int index) const
{
    if (index == 0) {
        return makeString(config_.fileName, ".log");
    }
    std::string number = makeString(index);
    if (number.size() < static_cast<std::size_t>(indexWidth_)) {
        number.insert(0, static_cast<std::size_t>(indexWidth_) - number.size(), '0');
    }
    return makeString(config_.fileName, "-", number, ".log");
}

std::string FileAppender::filePath(int index) const
{
    return joinPath(config_.directory, makeFileName(index));
}

int FileAppender::countLogFiles(const std::string& folder) const
{
    std::vector<std::string> names;
    switch (listFiles(folder, names)) {
    case ListResult::NotFound:
        return 0;
    case ListResult::OpenFailed:
        throw LoggerException("Failed to open logging directory.");
    case ListResult::ReadFailed:
        throw LoggerException("Failed to count files in logging directory.");
    case ListResult::Ok:
        break;
    }
    return static_cast<int>(
        std::count_if(names.begin(), names.end(), [this](const std::string& name) { return isLogFile(name); }));
}

void FileAppender::openLiveFile(bool truncate)
{
    // On Linux every open is shared: other processes may read and write the file.
    position_ = file_.open(filePath(0), truncate) ? file_.size() : -1;
}

void FileAppender::rotateIfNeeded()
{
    if (position_ < config_.maxFileSize || position_ < 0) {
        return;
    }
    // Renamed while still open: on Linux the open file moves with its name,
    // and a crash handler's write meanwhile lands in the old file.
    rotate();
    openLiveFile(true);
}

void FileAppender::rotate()
{
    for (int i = fileCount_ - 1; i >= 0; --i) {
        // Failures are ignored: the log goes on in the live file either way.
        if (i == config_.maxFileCount - 1) {
            std::remove(filePath(i).c_str());
        } else {
            std::rename(filePath(i).c_str(), filePath(i + 1).c_str());
        }
    }
    if (fileCount_ < config_.maxFileCount) {
        ++fileCount_;
    }
}

}  // namespace Tarvent::VirtualChannel
