#include "mkupdate/host_files.h"

#include <stdio.h>

#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
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

int ReadHostFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes,
                 std::string* error) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) {
        *error = "cannot open " + Printable(file);
        return 0;
    }
    const std::streamoff size = in.tellg();
    in.seekg(0);
    if (size < 0 || !in) {
        *error = "cannot read " + Printable(file);
        return 0;
    }
    bytes->resize((size_t)size);
    in.read((char*)bytes->data(), size);
    // A file that grew meanwhile is read to its end as it was when opened; one that shrank is
    // an error rather than a silently short entry.
    if (in.gcount() != size) {
        *error = "cannot read " + Printable(file);
        return 0;
    }
    return 1;
}

int WriteHostFile(const std::filesystem::path& file, const uint8_t* bytes, size_t size,
                  const uint64_t* time, std::string* error) {
    std::filesystem::path temp = file;
    temp += ".part";
    std::error_code ec;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write((const char*)bytes, (std::streamsize)size);
    out.close();
    if (!out) {
        *error = "cannot write " + Printable(file);
        std::filesystem::remove(temp, ec);
        return 0;
    }
    // The time goes on before the file takes its name, so it never shows with another one.
    if (time && !SetLastWriteFileTime(temp, *time, error)) {
        std::filesystem::remove(temp, ec);
        return 0;
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        *error = "cannot write " + Printable(file) + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return 0;
    }
    return 1;
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
