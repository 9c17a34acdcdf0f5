#pragma once

#include <cstddef>

struct zip;

namespace Tarvent::VirtualChannel {

// Writes one zip file with libzip. Owns the archive handle from create() until
// a successful close(); an archive still open at destruction (a failed add or
// close) is discarded, so no half-made zip file is written. One thread at a time.
class ZipArchive {
public:
    ZipArchive() = default;
    ~ZipArchive();

    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Starts a new, empty archive at `path`; an existing file is replaced on close().
    void create(const char* path);
    // Adds an entry with a UTF-8 name. `data` must stay valid until close().
    void addFile(const void* data, std::size_t size, const char* name);
    // Writes the zip file. On failure the archive stays open.
    void close();

private:
    zip* handle_ = nullptr;
};

}  // namespace Tarvent::VirtualChannel
