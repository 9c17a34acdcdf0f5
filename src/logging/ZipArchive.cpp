#include "logging/ZipArchive.h"

#include <zip.h>

#include <stdexcept>

#include "util/MakeString.h"

namespace Tarvent::VirtualChannel {

namespace {

std::string lastError(zip_t* handle)
{
    const char* text = zip_error_strerror(zip_get_error(handle));
    return text != nullptr ? text : "";
}

}  // namespace

ZipArchive::~ZipArchive()
{
    if (handle_ != nullptr) {
        zip_discard(handle_);
    }
}

void ZipArchive::create(const char* path)
{
    if (handle_ != nullptr) {
        throw std::runtime_error("Error creating zip archive: Current archive must be closed first.");
    }
    int error = 0;
    handle_ = zip_open(path, ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (handle_ == nullptr) {
        throw std::runtime_error(makeString("Error creating zip archive \"", path, "\": error=", error));
    }
}

void ZipArchive::addFile(const void* data, std::size_t size, const char* name)
{
    if (handle_ == nullptr) {
        throw std::runtime_error("Error adding file to archive: Archive must be created first.");
    }
    zip_source_t* source = zip_source_buffer(handle_, data, size, 0);
    if (source == nullptr) {
        throw std::runtime_error(makeString("Error adding file to archive. Error=\"", lastError(handle_), "\""));
    }
    if (zip_file_add(handle_, name, source, ZIP_FL_ENC_UTF_8) == -1) {
        zip_source_free(source);
        throw std::runtime_error(makeString("Error adding file to archive. Error=\"", lastError(handle_), "\""));
    }
}

void ZipArchive::close()
{
    if (handle_ == nullptr) {
        throw std::runtime_error("Error closing archive: Archive must be opened first.");
    }
    if (zip_close(handle_) == -1) {
        throw std::runtime_error(makeString("Error closing archive. Error=\"", lastError(handle_), "\""));
    }
    handle_ = nullptr;
}

}  // namespace Tarvent::VirtualChannel
