#include "mkupdate/host_files.h"

#include <stdio.h>

#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <sys/stat.h>
#endif

namespace {

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
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot open " + Printable(file);
        return 0;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read " + Printable(file);
        return 0;
    }
    return 1;
}

int WriteHostFile(const std::filesystem::path& file, const std::vector<uint8_t>& bytes,
                  std::string* error) {
    std::filesystem::path temp = file;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
        out.flush();
        if (!out) {
            *error = "cannot write " + Printable(file);
            out.close();
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return 0;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        *error = "cannot write " + Printable(file) + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return 0;
    }
    return 1;
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
    const std::string utf8 = Printable(file.filename());
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1)
        return 0;
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = &out[0];
    size_t outLeft = out.size();
    const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1 || inLeft != 0)
        return 0;
    out.resize(out.size() - outLeft);
    *name = out;
    return 1;
#endif
}
