#pragma once

#include <string>

namespace Tarvent::VirtualChannel::TestSupport {

// A fresh folder under /tmp, removed with everything in it on destruction
// (kept when OVRA_KEEP_TEST_DIRS is set, for a look after a failure).
// Test thread only.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "ovra");
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;
    // Creates path()/name (and parents) and returns it.
    std::string makeDir(const std::string& name) const;

    // The whole content of a file; "" when it can't be read.
    static std::string readFile(const std::string& path);

private:
    std::string path_;
};

}  // namespace Tarvent::VirtualChannel::TestSupport
