#pragma once

#include <cstddef>

namespace Tarvent::VirtualChannel::TestSupport {

// Lowers this process's limit of open descriptors so that exactly `free`
// more can be opened, and puts the old limit back when it goes. Test thread
// only, with no other thread opening descriptors meanwhile.
class FileLimit {
public:
    explicit FileLimit(std::size_t free);
    ~FileLimit();

    FileLimit(const FileLimit&) = delete;
    FileLimit& operator=(const FileLimit&) = delete;

    bool applied() const { return applied_; }

private:
    bool applied_ = false;
    unsigned long long oldSoft_ = 0;
    unsigned long long oldHard_ = 0;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
