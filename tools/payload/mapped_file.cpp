#include "payload/mapped_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

MappedFile::~MappedFile() {
#ifndef _WIN32
    if (map_)
        munmap(map_, (size_t)size_);
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

// mkupdate on Windows makes no deltas; the file is simply read.
int MappedFile::Open(const std::filesystem::path& file, std::string* error) {
    FILE* f = _wfopen(file.c_str(), L"rb");
    if (!f) {
        *error = "cannot open " + file.string();
        return 0;
    }
    uint8_t buffer[1 << 16];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        copy_.insert(copy_.end(), buffer, buffer + n);
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        *error = "cannot read " + file.string();
        copy_.clear();
        return 0;
    }
    data_ = copy_.data();
    size_ = copy_.size();
    return 1;
}

void MappedFile::Release() {}

#endif
