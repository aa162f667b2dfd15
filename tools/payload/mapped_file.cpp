#include "payload/mapped_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

MappedFile::~MappedFile() {
#ifndef _WIN32
    if (map_)
        munmap(map_, (size_t)size_);
#else
    if (map_)
        UnmapViewOfFile(map_);
#endif
}

#ifndef _WIN32

int MappedFile::Open(const std::filesystem::path& file, std::string* error) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot open " + file.string() + ": " + strerror(errno);
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = file.string() + " is not a regular file";
        close(fd);
        return 0;
    }
    size_ = (uint64_t)st.st_size;
    if (size_ == 0) {
        close(fd);
        data_ = reinterpret_cast<const uint8_t*>("");
        return 1;
    }
    void* p = mmap(nullptr, (size_t)size_, PROT_READ, MAP_PRIVATE, fd, 0);
    const int mapError = errno;
    close(fd);
    if (p == MAP_FAILED) {
        *error = "cannot map " + file.string() + ": " + strerror(mapError);
        size_ = 0;
        return 0;
    }
    map_ = p;
    data_ = static_cast<const uint8_t*>(p);
    return 1;
}

void MappedFile::Release() {
    // A private read-only mapping never holds pages of its own: dropping them loses nothing.
    if (map_)
        madvise(map_, (size_t)size_, MADV_DONTNEED);
}

#else

int MappedFile::Open(const std::filesystem::path& file, std::string* error) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + file.string();
        return 0;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        *error = "cannot read " + file.string();
        return 0;
    }
    size_ = (uint64_t)size.QuadPart;
    if (size_ == 0) {
        CloseHandle(h);
        data_ = reinterpret_cast<const uint8_t*>("");
        return 1;
    }
    HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(h);
    void* p = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (mapping)
        CloseHandle(mapping);
    if (!p) {
        *error = "cannot map " + file.string();
        size_ = 0;
        return 0;
    }
    map_ = p;
    data_ = static_cast<const uint8_t*>(p);
    return 1;
}

void MappedFile::Release() {
    // Unlocking pages that were never locked takes them out of the working set.
    if (map_)
        VirtualUnlock(map_, (SIZE_T)size_);
}

#endif
