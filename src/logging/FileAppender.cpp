#include "logging/FileAppender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

#include "logging/LogRecord.h"
#include "logging/LoggerException.h"
#include "logging/PatternLayout.h"
#include "platform/FileSystem.h"
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
        writer_ = std::thread([this] { writerLoop(); });
    }
}

FileAppender::~FileAppender()
{
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

void FileAppender::append(const LogRecord& record)
{
    ILayout* const layout = getLayout();
    // Appends are serialised by the Logger's lock, so the layout needs no lock of ours.
    std::string line = layout != nullptr ? layout->format(record) : record.message + '\n';
    if (config_.writeBehind && record.level < Error) {
        bool wake = false;
        {
            const std::lock_guard<std::mutex> queueLock(queueMutex_);
            if (queued_.size() + line.size() <= kMaxQueued) {
                queued_ += line;
                wake = writerAsleep_;
                line.clear();
            }
        }
        if (wake) {
            queueChanged_.notify_one();
        }
        if (line.empty()) {
            return;
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (config_.writeBehind) {
        writeQueued();  // what came before goes first
    }
    writeChunk(line.data(), line.size());
}

void FileAppender::writeChunk(const char* data, std::size_t size)
{
    // Kept by hand: asking the file costs a system call per line.
    position_ = position_ >= 0 && file_.write(data, size) ? position_ + static_cast<std::int64_t>(size) : -1;
    rotateIfNeeded();
}

void FileAppender::writeLines(const std::string& lines)
{
    std::size_t begin = 0;
    while (begin < lines.size()) {
        // Up to the end of the line that reaches the size limit, which rotates
        // the file as if the lines had come one by one.
        const std::int64_t room = std::max<std::int64_t>(config_.maxFileSize - std::max<std::int64_t>(position_, 0), 1);
        const std::size_t searchFrom =
            begin + static_cast<std::size_t>(std::min<std::int64_t>(room - 1, static_cast<std::int64_t>(lines.size())));
        const std::size_t feed = lines.find('\n', std::min(searchFrom, lines.size()));
        const std::size_t end = feed == std::string::npos ? lines.size() : feed + 1;
        writeChunk(lines.data() + begin, end - begin);
        begin = end;
    }
}

void FileAppender::writeQueued()
{
    std::string lines;
    {
        const std::lock_guard<std::mutex> queueLock(queueMutex_);
        lines.swap(queued_);
    }
    writeLines(lines);
}

void FileAppender::writerLoop()
{
    auto lastLine = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> queueLock(queueMutex_);
    for (;;) {
        if (!queued_.empty()) {
            queueLock.unlock();
            try {
                const std::lock_guard<std::mutex> lock(mutex_);
                writeQueued();
            } catch (...) {
                // Out of memory while rotating: those lines are lost, the thread goes on.
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
            queueChanged_.wait(queueLock, [this] { return !queued_.empty() || stopping_; });
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
    file_.close();
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
