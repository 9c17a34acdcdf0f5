#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/AppenderBase.h"
#include "logging/LogRecord.h"
#include "logging/Logger.h"

namespace Tarvent::VirtualChannel::TestSupport {

// Keeps every record in memory so a test can read the log lines back.
// Shared state lives behind a shared_ptr so the test keeps it after the
// Logger has taken (and possibly deleted) the appender.
class CapturingAppender : public AppenderBase {
public:
    struct Store {
        std::mutex mutex;
        std::vector<LogRecord> records;

        std::vector<std::string> messages()
        {
            const std::lock_guard<std::mutex> lock(mutex);
            std::vector<std::string> out;
            for (const auto& r : records) {
                out.push_back(r.message);
            }
            return out;
        }
        bool contains(const std::string& text)
        {
            const auto all = messages();
            return std::any_of(all.begin(), all.end(),
                               [&](const std::string& m) { return m.find(text) != std::string::npos; });
        }
        void clear()
        {
            const std::lock_guard<std::mutex> lock(mutex);
            records.clear();
        }
    };

    explicit CapturingAppender(std::shared_ptr<Store> store) : store_(std::move(store)) {}

    void append(const LogRecord& record) override
    {
        const std::lock_guard<std::mutex> lock(store_->mutex);
        store_->records.push_back(record);
    }

private:
    std::shared_ptr<Store> store_;
};

// Installs a CapturingAppender for the lifetime of the object and removes all
// appenders again at the end.
class LogCapture {
public:
    LogCapture() : store_(std::make_shared<CapturingAppender::Store>())
    {
        Logger::instance().addAppender(std::make_unique<CapturingAppender>(store_));
    }
    ~LogCapture() { Logger::instance().removeAllAppenders(); }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CapturingAppender::Store& store() { return *store_; }
    std::vector<std::string> messages() { return store_->messages(); }
    bool contains(const std::string& text) { return store_->contains(text); }

private:
    std::shared_ptr<CapturingAppender::Store> store_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
