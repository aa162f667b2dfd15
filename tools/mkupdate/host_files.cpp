#ifdef _WIN32
// For rand_s; before any header of the C library.
#define _CRT_RAND_S
#endif
#include "mkupdate/host_files.h"
#include "mkupdate/temp_output.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// Converts text between two encodings; 0 when any of it has no form in the target encoding.
int Recode(const char* to, const char* from, const std::string& text, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return 0;
    std::string converted(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* o = &converted[0];
    size_t outLeft = converted.size();
    const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1 || inLeft != 0)
        return 0;
    converted.resize(converted.size() - outLeft);
    *out = converted;
    return 1;
}
#endif

// Seconds from 1601-01-01 to 1970-01-01.
const uint64_t kUnixEpochInFileTime = 11644473600ull;

} // namespace

std::string EscapeControls(const std::string& text, bool utf8) {
    std::string shown;
    char hex[8];
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = (unsigned char)text[i];
        const bool c1 = utf8 && c == 0xC2 && i + 1 < text.size() &&
                        (unsigned char)text[i + 1] >= 0x80 && (unsigned char)text[i + 1] <= 0x9F;
        if (c1) {
            snprintf(hex, sizeof hex, "\\x%02X", (unsigned char)text[++i]);
            shown += hex;
        } else if (c < 0x20 || c == 0x7F || (!utf8 && c >= 0x80)) {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else {
            shown += (char)c;
        }
    }
    return shown;
}

std::string ShownCp932(const std::string& text) {
    std::string utf8;
    return Cp932ToUtf8(text, &utf8) ? EscapeControls(utf8, true) : EscapeControls(text, false);
}

std::string Printable(const std::filesystem::path& file) {
    const auto u8 = file.u8string();
    return std::string(u8.begin(), u8.end());
}

int LastWriteFileTime(const std::filesystem::path& file, uint64_t* time, std::string* error) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) {
        *error = "cannot read the time of " + Printable(file);
        return 0;
    }
    *time =
        ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    return 1;
#else
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || st.st_mtim.tv_sec < -(int64_t)kUnixEpochInFileTime) {
        *error = "cannot read the time of " + Printable(file);
        return 0;
    }
    *time = ((uint64_t)(st.st_mtim.tv_sec + (int64_t)kUnixEpochInFileTime)) * 10000000ull +
            (uint64_t)st.st_mtim.tv_nsec / 100;
    return 1;
#endif
}

namespace {

#ifdef _WIN32
std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, (LPWSTR)&text, 0, nullptr);
    std::string message =
        text ? Printable(std::filesystem::path(text)) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

// What stands at a name that is no regular file, or empty for a regular file.
std::string KindOfHandle(HANDLE h) {
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_CHAR)
        return "a device";
    if (type == FILE_TYPE_PIPE)
        return "a pipe";
    BY_HANDLE_FILE_INFORMATION info;
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
        return "no regular file";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a folder";
    return std::string();
}

// A name no one can guess: 16 random hex digits.
int RandomSuffix(std::string* suffix) {
    char text[24];
    unsigned a, b;
    if (rand_s(&a) != 0 || rand_s(&b) != 0)
        return 0;
    snprintf(text, sizeof text, "%08x%08x", a, b);
    *suffix = text;
    return 1;
}
#else
std::string KindOfMode(mode_t mode) {
    if (S_ISREG(mode))
        return std::string();
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "no regular file";
}

int RandomSuffix(std::string* suffix) {
    uint8_t bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != (ssize_t)sizeof bytes)
        return 0;
    char text[24];
    for (size_t i = 0; i < sizeof bytes; ++i)
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    *suffix = text;
    return 1;
}
#endif

} // namespace

const char kTemporaryPrefix[] = ".mkupdate-";

int RandomHexSuffix(std::string* suffix) {
    return RandomSuffix(suffix);
}

std::filesystem::path TemporaryNameBeside(const std::filesystem::path& file) {
    std::string suffix;
    if (!RandomSuffix(&suffix))
        return std::filesystem::path();
    const std::filesystem::path folder =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    return folder / (kTemporaryPrefix + suffix + ".tmp");
}

int IsTemporaryName(const std::filesystem::path& file) {
    const std::string name = Printable(file.filename());
    const size_t prefix = sizeof kTemporaryPrefix - 1;
    if (name.size() != prefix + 16 + 4 || name.compare(0, prefix, kTemporaryPrefix) != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0)
        return 0;
    return name.find_first_not_of("0123456789abcdef", prefix) == prefix + 16 ? 1 : 0;
}

int ReadHostFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes,
                 std::string* error) {
#ifdef _WIN32
    // No sharing for writes: the file cannot change under the read.
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + Printable(file) + ": " + SystemMessage(GetLastError());
        return 0;
    }
    const std::string kind = KindOfHandle(h);
    LARGE_INTEGER size;
    int ok = 0;
    if (!kind.empty())
        *error = Printable(file) + " is " + kind + ", not a regular file";
    else if (!GetFileSizeEx(h, &size) || size.QuadPart < 0)
        *error = "cannot read " + Printable(file);
    else if ((uint64_t)size.QuadPart > (uint64_t)SIZE_MAX / 2)
        *error = Printable(file) + " is too large";
    else {
        bytes->resize((size_t)size.QuadPart);
        size_t done = 0;
        ok = 1;
        while (ok && done < bytes->size()) {
            const DWORD want = (DWORD)std::min<size_t>(bytes->size() - done, 1u << 30);
            DWORD got = 0;
            if (!ReadFile(h, bytes->data() + done, want, &got, nullptr) || got == 0)
                ok = 0;
            done += got;
        }
        if (!ok)
            *error = "cannot read " + Printable(file);
    }
    CloseHandle(h);
    return ok;
#else
    // Non-blocking, so that a FIFO given by mistake is refused instead of waited on.
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot open " + Printable(file) + ": " + strerror(errno);
        return 0;
    }
    struct stat st;
    int ok = 0;
    if (fstat(fd, &st) != 0)
        *error = "cannot read " + Printable(file) + ": " + strerror(errno);
    else if (!S_ISREG(st.st_mode))
        *error = Printable(file) + " is " + KindOfMode(st.st_mode) + ", not a regular file";
    else if ((uint64_t)st.st_size > (uint64_t)SIZE_MAX / 2)
        *error = Printable(file) + " is too large";
    else {
        bytes->resize((size_t)st.st_size);
        size_t done = 0;
        ok = 1;
        while (ok && done < bytes->size()) {
            const ssize_t got = read(fd, bytes->data() + done, bytes->size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            // A file that shrank meanwhile is an error rather than a silently short entry; one
            // that grew is read as it was when measured.
            if (got <= 0)
                ok = 0;
            else
                done += (size_t)got;
        }
        if (!ok)
            *error = "cannot read " + Printable(file);
    }
    close(fd);
    return ok;
#endif
}

int CanReadHostFile(const std::filesystem::path& file, std::string* error) {
#ifdef _WIN32
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + Printable(file) + ": " + SystemMessage(GetLastError());
        return 0;
    }
    const std::string kind = KindOfHandle(h);
    CloseHandle(h);
#else
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot open " + Printable(file) + ": " + strerror(errno);
        return 0;
    }
    struct stat st;
    const bool statted = fstat(fd, &st) == 0;
    close(fd);
    const std::string kind = !statted ? "unreadable" : KindOfMode(st.st_mode);
#endif
    if (!kind.empty()) {
        *error = Printable(file) + " is " + kind + ", not a regular file";
        return 0;
    }
    return 1;
}

HostFileWriter::~HostFileWriter() {
    Abandon();
}

void HostFileWriter::Abandon() {
    if (!open_)
        return;
#ifdef _WIN32
    CloseHandle((HANDLE)handle_);
    DeleteFileW(temp_.c_str());
#else
    close(fd_);
    unlink(temp_.c_str());
#endif
    Forget(temp_);
    open_ = false;
}

int HostFileWriter::Open(const std::filesystem::path& file, std::string* error) {
    Abandon();
    file_ = file;
    failed_ = false;
    const std::filesystem::path folder =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::string suffix;
    if (!RandomSuffix(&suffix)) {
        *error = "cannot write " + Printable(file) + ": no random name for the temporary file";
        return 0;
    }
    temp_ = folder / (kTemporaryPrefix + suffix + ".tmp");
    RemoveIfInterrupted(temp_);
#ifdef _WIN32
    // What stands at the name now: only a regular file may be replaced.
    HANDLE old = CreateFileW(
        file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (old != INVALID_HANDLE_VALUE) {
        const std::string kind = KindOfHandle(old);
        CloseHandle(old);
        if (!kind.empty()) {
            *error = "will not write " + Printable(file) + ": it is " + kind +
                     " (mkupdate writes only a regular file or a new name)";
            return 0;
        }
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        *error = "cannot write " + Printable(file) + ": " + SystemMessage(GetLastError());
        return 0;
    }
    // CREATE_NEW never opens what another planted there, link or not.
    HANDLE h = CreateFileW(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot write " + Printable(file) + ": " + SystemMessage(GetLastError());
        return 0;
    }
    handle_ = h;
#else
    struct stat st;
    mode_t mode = 0666;
    bool keepMode = false;
    if (lstat(file.c_str(), &st) == 0) {
        const std::string kind = KindOfMode(st.st_mode);
        if (!kind.empty()) {
            *error = "will not write " + Printable(file) + ": it is " + kind +
                     " (mkupdate writes only a regular file or a new name)";
            return 0;
        }
        mode = st.st_mode & 07777;
        keepMode = true;
    } else if (errno != ENOENT) {
        *error = "cannot write " + Printable(file) + ": " + strerror(errno);
        return 0;
    }
    // O_EXCL with O_NOFOLLOW: a name planted beforehand, link or not, makes this fail.
    fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd_ < 0) {
        *error = "cannot write " + Printable(file) + ": " + strerror(errno);
        return 0;
    }
    if (keepMode && fchmod(fd_, mode) != 0) {
        *error = "cannot write " + Printable(file) + ": " + strerror(errno);
        close(fd_);
        unlink(temp_.c_str());
        return 0;
    }
#endif
    open_ = true;
    return 1;
}

int HostFileWriter::Write(const uint8_t* bytes, size_t size) {
    if (!open_ || failed_)
        return 0;
#ifdef _WIN32
    for (size_t done = 0; done < size;) {
        const DWORD want = (DWORD)std::min<size_t>(size - done, 1u << 30);
        DWORD put = 0;
        if (!WriteFile((HANDLE)handle_, bytes + done, want, &put, nullptr) || put != want) {
            code_ = GetLastError();
            failed_ = true;
            return 0;
        }
        done += put;
    }
#else
    for (size_t done = 0; done < size;) {
        const ssize_t put = write(fd_, bytes + done, size - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            code_ = put < 0 ? errno : ENOSPC;
            failed_ = true;
            return 0;
        }
        done += (size_t)put;
    }
#endif
    return 1;
}

int HostFileWriter::Commit(const uint64_t* time, std::string* error) {
    // Renamed into place or removed below: either way no longer the signal's to remove.
    struct ForgetTemp {
        std::filesystem::path path;
        ~ForgetTemp() { Forget(path); }
    } forget{temp_};
    if (!open_) {
        *error = "cannot write " + Printable(file_);
        return 0;
    }
#ifdef _WIN32
    HANDLE h = (HANDLE)handle_;
    bool ok = !failed_;
    FILETIME ft;
    if (ok && time) {
        // The time goes on before the file takes its name, so it never shows with another one.
        ft.dwLowDateTime = (DWORD)*time;
        ft.dwHighDateTime = (DWORD)(*time >> 32);
        ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
    }
    const DWORD code = failed_ ? (DWORD)code_ : GetLastError();
    CloseHandle(h);
    open_ = false;
    if (ok && !MoveFileExW(temp_.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = "cannot write " + Printable(file_) + ": " + SystemMessage(GetLastError());
        DeleteFileW(temp_.c_str());
        return 0;
    }
    if (!ok) {
        *error = "cannot write " + Printable(file_) + ": " + SystemMessage(code);
        DeleteFileW(temp_.c_str());
        return 0;
    }
#else
    bool ok = !failed_;
    if (ok && time) {
        // The time goes on before the file takes its name, so it never shows with another one.
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = (time_t)((int64_t)(*time / 10000000ull) - (int64_t)kUnixEpochInFileTime);
        times[1].tv_nsec = (long)(*time % 10000000ull) * 100;
        ok = futimens(fd_, times) == 0;
    }
    int code = failed_ ? code_ : errno;
    // A close that fails is the write's failure, and says why itself.
    if (close(fd_) != 0 && ok) {
        ok = false;
        code = errno;
    }
    open_ = false;
    if (ok && rename(temp_.c_str(), file_.c_str()) != 0) {
        *error = "cannot write " + Printable(file_) + ": " + strerror(errno);
        unlink(temp_.c_str());
        return 0;
    }
    if (!ok) {
        *error = "cannot write " + Printable(file_) + ": " + strerror(code);
        unlink(temp_.c_str());
        return 0;
    }
#endif
    return 1;
}

int WriteHostFile(const std::filesystem::path& file, const uint8_t* bytes, size_t size,
                  const uint64_t* time, std::string* error) {
    HostFileWriter out;
    if (!out.Open(file, error))
        return 0;
    out.Write(bytes, size);
    return out.Commit(time, error);
}

int SetLastWriteFileTime(const std::filesystem::path& file, uint64_t time, std::string* error) {
#ifdef _WIN32
    HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)time;
    ft.dwHighDateTime = (DWORD)(time >> 32);
    const BOOL ok = h != INVALID_HANDLE_VALUE && SetFileTime(h, nullptr, nullptr, &ft);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
#else
    const int64_t seconds = (int64_t)(time / 10000000ull) - (int64_t)kUnixEpochInFileTime;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = (time_t)seconds;
    times[1].tv_nsec = (long)(time % 10000000ull) * 100;
    const bool ok = utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
#endif
    if (!ok)
        *error = "cannot set the time of " + Printable(file);
    return ok ? 1 : 0;
}

int Cp932ToUtf8(const std::string& text, std::string* utf8) {
    if (text.empty()) {
        utf8->clear();
        return 1;
    }
#ifdef _WIN32
    const int units =
        MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), nullptr, 0);
    if (units <= 0)
        return 0;
    std::wstring wide((size_t)units, L'\0');
    MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), &wide[0], units);
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    utf8->assign((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, &(*utf8)[0], n, nullptr, nullptr);
    return 1;
#else
    return Recode("UTF-8", "CP932", text, utf8);
#endif
}

int Utf8ToCp932(const std::string& utf8, std::string* text) {
    if (utf8.empty()) {
        text->clear();
        return 1;
    }
#ifdef _WIN32
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                          (int)utf8.size(), nullptr, 0);
    if (units <= 0)
        return 0;
    std::wstring wide((size_t)units, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), (int)utf8.size(), &wide[0],
                        units);
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), units, nullptr, 0,
                                      nullptr, &lossy);
    if (n <= 0 || lossy)
        return 0;
    text->assign((size_t)n, '\0');
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), units, &(*text)[0], n, nullptr,
                        &lossy);
    return lossy ? 0 : 1;
#else
    return Recode("CP932", "UTF-8", utf8, text);
#endif
}

int NameInCodePage932(const std::filesystem::path& file, std::string* name) {
#ifdef _WIN32
    const std::wstring wide = file.filename().wstring();
    if (wide.empty())
        return 0;
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.c_str(), (int)wide.size(),
                                      nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy)
        return 0;
    name->resize((size_t)n);
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.c_str(), (int)wide.size(), &(*name)[0], n,
                        nullptr, &lossy);
    return lossy ? 0 : 1;
#else
    return Recode("CP932", "UTF-8", Printable(file.filename()), name);
#endif
}
