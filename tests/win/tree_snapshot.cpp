#include "win/tree_snapshot.h"

#include <string.h>

#include <algorithm>

namespace {

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    }
    return s;
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    char buffer[65536];
    DWORD got;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    CloseHandle(h);
    return bytes;
}

void Walk(const std::string& root, const std::string& relative, TreeSnapshot* out) {
    const std::string folder = relative.empty() ? root : root + "\\" + relative;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!strcmp(fd.cFileName, ".") || !strcmp(fd.cFileName, ".."))
            continue;
        const std::string inner = relative.empty() ? fd.cFileName : relative + "\\" + fd.cFileName;
        SnapshotEntry e;
        e.attributes = fd.dwFileAttributes;
        const bool isFolder = fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        e.writeTime = isFolder ? 0
                               : ((uint64_t)fd.ftLastWriteTime.dwHighDateTime << 32) |
                                     fd.ftLastWriteTime.dwLowDateTime;
        if (!isFolder)
            e.bytes = ReadAll(folder + "\\" + fd.cFileName);
        (*out)[Lower(inner)] = e;
        if (isFolder)
            Walk(root, inner, out);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

std::string Describe(const SnapshotEntry& e) {
    char text[96];
    wsprintfA(text, "attributes %lx, %lu bytes, time %08lx%08lx", e.attributes,
              (unsigned long)e.bytes.size(), (unsigned long)(e.writeTime >> 32),
              (unsigned long)e.writeTime);
    return text;
}

} // namespace

TreeSnapshot TakeSnapshot(const std::string& root) {
    TreeSnapshot s;
    SnapshotEntry self = {GetFileAttributesA(root.c_str()), 0, ""};
    s[""] = self;
    Walk(root, "", &s);
    return s;
}

TreeSnapshot TakeSnapshot(const std::vector<std::pair<std::string, std::string>>& labelledRoots) {
    TreeSnapshot s;
    for (const auto& [label, root] : labelledRoots)
        for (const auto& [path, e] : TakeSnapshot(root))
            s[label + ":" + path] = e;
    return s;
}

std::vector<std::string> CompareSnapshots(const TreeSnapshot& expected, const TreeSnapshot& got,
                                          const std::vector<std::string>& ignoreTimes) {
    std::vector<std::string> differences;
    for (const auto& [path, e] : expected) {
        auto it = got.find(path);
        if (it == got.end()) {
            differences.push_back("missing: " + path);
            continue;
        }
        const bool timeMatters =
            std::find(ignoreTimes.begin(), ignoreTimes.end(), path) == ignoreTimes.end();
        if (it->second.attributes != e.attributes || it->second.bytes != e.bytes ||
            (timeMatters && it->second.writeTime != e.writeTime))
            differences.push_back("changed: " + path + " (" + Describe(e) + " → " +
                                  Describe(it->second) + ")");
    }
    for (const auto& [path, e] : got) {
        if (!expected.count(path))
            differences.push_back("extra: " + path);
    }
    return differences;
}

std::vector<std::string> RunLeftovers(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& [path, e] : TakeSnapshot(root)) {
        const size_t slash = path.rfind('\\');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name.rfind("~qv", 0) == 0 || name == "update.jnl" || name == "updateok.jnl")
            found.push_back(path);
    }
    return found;
}
