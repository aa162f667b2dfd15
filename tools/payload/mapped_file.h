// A file read through a read-only mapping whose pages can be let go again: they stay in the
// system's cache, so reading them once more costs little, but they no longer count as this
// process's memory. The delta encoder reads files of many GiB this way.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <string>

class MappedFile {
  public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // 0 and a one-line reason when the file cannot be opened or mapped.
    int Open(const std::filesystem::path& file, std::string* error);
    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    // Lets every page read so far go.
    void Release();

  private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    void* map_ = nullptr;
};
