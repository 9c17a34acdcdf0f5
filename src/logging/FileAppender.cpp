#include "logging/FileAppender.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "logging/LogRecord.h"
#include "logging/LoggerException.h"
#include "logging/PatternLayout.h"
#include "platform/FileSystem.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

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
    openLiveFile(std::ios::app);
    fileCount_ = countLogFiles(config_.directory);
}

FileAppender::~FileAppender() = default;

void FileAppender::append(const LogRecord& record)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ILayout* const layout = getLayout();
    const std::string line = layout != nullptr ? layout->format(record) : record.message + '\n';
    stream_ << line;
    stream_.flush();
    // Kept by hand: asking the stream costs a seek system call per line.
    position_ = stream_.good() && position_ >= 0 ? position_ + static_cast<std::int64_t>(line.size()) : -1;
    rotateIfNeeded();
}

std::string FileAppender::readLogs(std::int64_t maxBytes)
{
    const std::lock_guard<std::mutex> lock(mutex_);
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

void FileAppender::openLiveFile(std::ios::openmode mode)
{
    // On Linux every open is shared: other processes may read and write the file.
    stream_.open(filePath(0), std::ios::out | mode);
    // Appending writes at the end whatever the stream's position, so take the size.
    position_ = stream_.seekp(0, std::ios::end) ? static_cast<std::int64_t>(stream_.tellp()) : -1;
}

void FileAppender::rotateIfNeeded()
{
    if (position_ < config_.maxFileSize || position_ < 0) {
        return;
    }
    stream_.close();
    rotate();
    openLiveFile(std::ios::trunc);
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
