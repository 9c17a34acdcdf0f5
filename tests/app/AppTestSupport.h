#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace Tarvent::VirtualChannel::TestSupport {

// A FILE* standing in for the console; text() reads back what was printed.
class ConsoleCapture {
public:
    ConsoleCapture() : file_(std::tmpfile())
    {
        if (file_ == nullptr) {
            throw std::runtime_error("tmpfile failed");
        }
    }
    ~ConsoleCapture() { std::fclose(file_); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::FILE* file() const { return file_; }
    std::string text() const
    {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            out.append(buffer, n);
        }
        return out;
    }

private:
    std::FILE* file_;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope and
// restores it afterwards. Only while no other thread runs.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            previous_ = old;
        }
        set(value);
    }
    ~ScopedEnvironment() { set(previous_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    void set(const std::optional<std::string>& value) const
    {
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

    std::string name_;
    std::optional<std::string> previous_;
};

// Checks `condition` until it holds or `timeout` has passed.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace Tarvent::VirtualChannel::TestSupport
