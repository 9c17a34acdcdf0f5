#include "logging/LogArchive.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>

#include "logging/FileAppender.h"
#include "logging/IAppServiceCallback.h"
#include "logging/Logger.h"
#include "logging/ZipArchive.h"
#include "util/MakeString.h"
#include "util/PathUtil.h"

namespace Tarvent::VirtualChannel {

std::vector<std::vector<char>> splitFile(const std::string& path, std::size_t partSize)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.good()) {
        throw std::runtime_error("Failed to open zip archive.");
    }
    const std::streampos start = file.tellg();
    file.seekg(0, std::ios::end);
    const std::streampos end = file.tellg();
    file.seekg(start);
    std::vector<std::vector<char>> parts;
    if (start < 0 || end < 0 || !file.good()) {
        return parts;
    }
    // Signed, so the count of bytes left cannot wrap below zero.
    std::int64_t left = static_cast<std::int64_t>(end - start);
    const auto step = static_cast<std::int64_t>(partSize);
    parts.reserve(static_cast<std::size_t>(left / step + 1));
    while (left > 0) {
        const auto size = static_cast<std::size_t>(std::min(left, step));
        parts.emplace_back(size, '\0');
        file.read(parts.back().data(), static_cast<std::streamsize>(size));
        if (!file.good()) {
            throw std::runtime_error("Failed to read zip archive.");
        }
        left -= step;
    }
    return parts;
}

LogArchive::LogArchive(IAppServiceCallback* callback, const std::string& logDirectory)
    : callback_(callback), zipPath_(joinPath(logDirectory, "ovra_log.zip"))
{
}

LogArchive::~LogArchive()
{
    wait();
}

void LogArchive::setFileAppender(FileAppender* fileAppender)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    fileAppender_ = fileAppender;
}

void LogArchive::start(std::uint64_t requestId)
{
    const std::lock_guard<std::mutex> workerLock(workerMutex_);
    // The old worker takes mutex_ and calls back, so it is joined holding neither.
    if (worker_.joinable()) {
        worker_.join();
    }
    worker_ = std::thread(&LogArchive::run, this, requestId);
}

void LogArchive::wait()
{
    const std::lock_guard<std::mutex> workerLock(workerMutex_);
    if (worker_.joinable()) {
        worker_.join();
    }
}

std::vector<char> LogArchive::getPart(int index)
{
    if (index < 0) {
        throw std::runtime_error(makeString("Index out of range: ", index));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<std::size_t>(index) >= parts_.size()) {
        throw std::runtime_error(makeString("Index out of range: ", index));
    }
    return parts_[static_cast<std::size_t>(index)];
}

void LogArchive::clear()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    parts_.clear();
    std::remove(zipPath_.c_str());
}

void LogArchive::run(std::uint64_t requestId)
{
    // Nothing may leave this thread; the requester is answered in every case.
    int partCount = 0;
    bool failed = true;
    std::string failure = "Failed to create log archive.";
    try {
        partCount = build();
        failed = false;
    } catch (const std::exception& e) {
        failure = e.what();
        logError("Failed to create log archive: what=%s", e.what());
    } catch (...) {
        logError("Failed to create log archive: what=%s", "unknown");
    }
    if (callback_ == nullptr) {
        return;
    }
    try {
        if (!failed) {
            callback_->onLogArchiveReady(requestId, partCount);
        } else {
            callback_->onLogArchiveFailed(requestId, failure);
        }
    } catch (const std::exception& e) {
        logError("Failed to report log archive: what=%s", e.what());
    } catch (...) {
        logError("Failed to report log archive: what=%s", "unknown");
    }
}

int LogArchive::build()
{
    try {
        logDebug("Reading log files");
        FileAppender* fileAppender = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            fileAppender = fileAppender_;
        }
        // Declared before the zip: libzip reads the text only when the zip is closed.
        const std::string text = fileAppender != nullptr ? fileAppender->readLogs(kMaxLogBytes) : std::string();

        logDebug("Creating log file zip archive");
        {
            ZipArchive zip;
            zip.create(zipPath_.c_str());
            zip.addFile(text.data(), text.size(), "ovra.log");
            zip.close();
        }

        logDebug("Splitting log file zip archive");
        auto parts = splitFile(zipPath_, kPartSize);

        const std::lock_guard<std::mutex> lock(mutex_);
        parts_ = std::move(parts);
        logDebug("Finished splitting log file archive");
        return static_cast<int>(parts_.size());
    } catch (...) {
        // Parts of an older archive must not be served under this answer's count of 0.
        const std::lock_guard<std::mutex> lock(mutex_);
        parts_.clear();
        throw;
    }
}

}  // namespace Tarvent::VirtualChannel
