#include "mkupdate/pack_volumes.h"

#include <stdlib.h>

#include <algorithm>

#include "mkupdate/host_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

int ParseVolumeLimit(const std::string& text, uint64_t* bytes, std::string* error) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const std::string suffix = text.substr(digits);
    int shift = -1;
    if (suffix.empty())
        shift = 0;
    else if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M" || suffix == "m")
        shift = 20;
    else if (suffix == "G" || suffix == "g")
        shift = 30;
    uint64_t n = 0;
    bool ok = digits > 0 && digits <= 12 && shift >= 0;
    for (size_t i = 0; ok && i < digits; ++i)
        n = n * 10 + (uint64_t)(text[i] - '0');
    if (ok)
        n <<= shift;
    if (!ok || n < kSmallestVolumeLimit || n > kLargestVolumeLimit) {
        *error = "--volume-limit: '" + text +
                 "' is no size from 64K to 2G (bytes, or a number with K, M or G)";
        return 0;
    }
    *bytes = n;
    return 1;
}

int IsVolumeName(const std::string& stem, const std::string& name) {
    if (name.size() != stem.size() + 4 || name[stem.size()] != '.')
        return 0;
    for (size_t i = 0; i < stem.size(); ++i) {
        char a = stem[i], b = name[i];
        if (a >= 'a' && a <= 'z')
            a = (char)(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z')
            b = (char)(b - 'a' + 'A');
        if (a != b)
            return 0;
    }
    for (size_t i = stem.size() + 1; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return 0;
    return 1;
}

int PlaceVolumes(const std::filesystem::path& output, const WrittenVolumes& written,
                 std::vector<std::string>* told, std::string* error) {
    std::filesystem::path folder = output.parent_path();
    if (folder.empty())
        folder = ".";
    const std::string stem = Printable(output.stem());
    std::error_code ec;
    std::vector<std::filesystem::path> old;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec))
        if (IsVolumeName(stem, Printable(it->path().filename())) && it->is_regular_file(ec))
            old.push_back(it->path());
    if (ec) {
        *error = "cannot read the folder " + Printable(folder) + ": " + ec.message();
        return 0;
    }
    std::sort(old.begin(), old.end());
    for (const std::filesystem::path& p : old) {
        bool replaced = false;
        for (const std::filesystem::path& f : written.final)
            replaced = replaced || p.filename() == f.filename();
        if (!std::filesystem::remove(p, ec)) {
            *error = "cannot remove the old volume " + Printable(p) + ": " + ec.message();
            return 0;
        }
        if (!replaced)
            told->push_back("removed " + Printable(p) + ", a volume of an earlier build");
    }
    for (size_t i = 0; i < written.temporary.size(); ++i) {
        const std::filesystem::path to = folder / written.final[i].filename();
        std::filesystem::rename(written.temporary[i], to, ec);
        if (ec) {
            *error = "cannot put the volume " + Printable(to) + " in place: " + ec.message();
            return 0;
        }
    }
    return 1;
}

void DiscardVolumes(const WrittenVolumes& written) {
    std::error_code ec;
    for (const std::filesystem::path& p : written.temporary)
        std::filesystem::remove(p, ec);
}
