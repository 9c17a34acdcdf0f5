#pragma once

namespace Tarvent::VirtualChannel {

// Owns one file descriptor and closes it on destruction. Move-only; not
// synchronised (the owner decides which thread uses it).
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();

    UniqueFd(UniqueFd&& other) noexcept;
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }

    // Closes the descriptor now; 0 on success, else the errno of close (the
    // descriptor is released either way).
    int reset();

private:
    int fd_ = -1;
};

}  // namespace Tarvent::VirtualChannel
