#pragma once

#include <zip.h>

#include <string>
#include <vector>

namespace Tarvent::VirtualChannel::TestSupport {

struct ZipEntry {
    std::string name;
    std::string data;
};

// Every entry of the zip file at `path`; empty when it cannot be opened.
inline std::vector<ZipEntry> readZip(const std::string& path)
{
    std::vector<ZipEntry> entries;
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (archive == nullptr) {
        return entries;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        ZipEntry entry;
        entry.name = stat.name;
        entry.data.resize(stat.size);
        zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        if (file != nullptr) {
            zip_fread(file, entry.data.data(), stat.size);
            zip_fclose(file);
        }
        entries.push_back(entry);
    }
    zip_discard(archive);
    return entries;
}

// The general-purpose flags of the first central directory entry, or -1.
inline int firstEntryFlags(const std::string& zipBytes)
{
    const auto at = zipBytes.find(std::string("PK\x01\x02", 4));
    if (at == std::string::npos || at + 10 > zipBytes.size()) {
        return -1;
    }
    return static_cast<unsigned char>(zipBytes[at + 8]) | (static_cast<unsigned char>(zipBytes[at + 9]) << 8);
}

}  // namespace Tarvent::VirtualChannel::TestSupport
