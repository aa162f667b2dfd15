#include "mkupdate/check.h"

#include <map>

#include "mkupdate/host_files.h"
#include "mkupdate/pack.h"
#include "mkupdate/update_ini.h"

namespace {

// Buffers the updater reads into: one list item or path, one update value.
const size_t kItemSize = 260;
const size_t kUpdateValueSize = 1024;

struct Checker {
    std::vector<Finding>* findings;
    std::vector<IniSection> ini;
    std::map<std::string, std::string> files; // folded entry name -> path in the folder
    bool folderNames = false;                 // entries named by their paths
};

void Error(Checker* c, const std::string& text) {
    c->findings->push_back(Finding{true, text});
}

void Warn(Checker* c, const std::string& text) {
    c->findings->push_back(Finding{false, text});
}

// Shown in messages: the INI's CP932 bytes as UTF-8 (or escaped bytes when they are not CP932),
// control characters escaped.
std::string Shown(const std::string& cp932) {
    return ShownCp932(cp932);
}

void CheckSetup(Checker* c) {
    for (const char* key : {"CompanyName", "GameTitle", "GameClass", "GameDir"}) {
        std::string value;
        if (!IniValue(c->ini, "SETUP", key, &value))
            Error(c, std::string("[SETUP] ") + key +
                         " is missing or empty: the updater stops at start-up");
    }
    for (const char* key : {"AgreementText", "AgreementTitle"}) {
        std::string value;
        if (IniValue(c->ini, "SETUP", key, &value) && !c->files.count(FoldName(value)))
            Error(c, std::string("[SETUP] ") + key + " names " + Shown(value) +
                         ", which is not in the folder: the updater stops at start-up");
    }
}

// Keys of a numbered list: the updater reads 00, 01, ... and stops at the first one missing.
std::vector<std::string> ReadList(Checker* c, const char* format, const char* what) {
    std::vector<std::string> neverRead;
    const std::vector<std::string> values = ReadNumberedList(c->ini, format, what, &neverRead);
    for (const std::string& text : neverRead)
        Warn(c, text);
    return values;
}

void CheckUpdateItems(Checker* c, const std::vector<std::string>& values, size_t* written) {
    std::map<std::string, std::string> byName; // folded entry name -> first item's path
    for (size_t n = 0; n < values.size(); ++n) {
        const std::string key = KeyName("UpdateFile%02i", (int)n);
        const std::string& value = values[n];
        if (value.size() >= kUpdateValueSize)
            Warn(c, "[UPDATE] " + key + " is longer than 1023 bytes and is cut there");
        const UpdateItemFields item = CutUpdateItem(value);
        const std::string& path = item.path;
        if (item.lostPrefix)
            Warn(c, "[UPDATE] " + key +
                        ": a field with a colon as its second character loses "
                        "its first two characters (read as a disc prefix)");
        if (path.empty()) {
            Error(c, "[UPDATE] " + key + " names no file");
            continue;
        }
        if (path.size() >= kItemSize) {
            Error(c, "[UPDATE] " + key + ": the path is longer than 259 bytes and is cut");
            continue;
        }
        if (item.rule == kRuleCheck)
            continue; // only checked on the user's machine; nothing is written
        ++*written;
        const std::string& name = item.name;
        if (name.empty()) {
            Error(c, "[UPDATE] " + key + ": the path " + Shown(path) + " ends in a folder");
            continue;
        }
        const std::string& entry = c->folderNames ? path : name;
        if (!c->files.count(FoldName(entry))) {
            if (item.rule == kRuleData)
                Warn(c, "[UPDATE] " + key + ": " + Shown(entry) +
                            " is not in the folder; the update fails where the data file is "
                            "not installed already");
            else
                Error(c, "[UPDATE] " + key + ": " + Shown(entry) + " is not in the folder");
        }
        auto [at, fresh] = byName.emplace(FoldName(name), path);
        if (!fresh && at->second != path && !c->folderNames)
            Warn(c, "[UPDATE] " + key + ": " + Shown(path) + " and " + Shown(at->second) +
                        " share the file name " + Shown(name) + " and receive the same entry");
    }
}

// A copy item's target: its path past the selector and the disc prefix.
std::string CopyTarget(std::string rest) {
    if (rest.size() >= 2 && rest[1] == ',')
        rest = rest.substr(2);
    if (rest.size() >= 2 && rest[1] == ':')
        rest = rest.substr(2);
    return rest;
}

// A delete item: a path inside the game's folder, as an update item's path is, of a file the
// patch does not also write.
void CheckDeleteItems(Checker* c, const std::vector<std::string>& values) {
    std::map<std::string, std::string> written; // folded item path -> key
    const std::vector<UpdateItemFields> items = ReadUpdateItems(c->ini);
    std::map<std::string, std::string> checked; // folded version-check path -> key
    for (size_t n = 0; n < items.size(); ++n) {
        if (items[n].rule == kRuleCheck)
            checked.emplace(FoldName(items[n].path), KeyName("UpdateFile%02i", (int)n));
        else if (items[n].rule != kRuleData)
            written.emplace(FoldName(items[n].path), KeyName("UpdateFile%02i", (int)n));
    }
    std::map<std::string, std::string> copies; // folded copy target -> key
    std::vector<std::string> unread;
    const std::vector<std::string> copyValues =
        ReadNumberedList(c->ini, "CopyFile%02i", "copy", &unread);
    for (size_t n = 0; n < copyValues.size(); ++n)
        copies.emplace(FoldName(CopyTarget(copyValues[n])), KeyName("CopyFile%02i", (int)n));
    for (size_t n = 0; n < values.size(); ++n) {
        const std::string key = KeyName("DeleteFile%02i", (int)n);
        const std::string& path = values[n];
        if (path.size() >= kItemSize) {
            Error(c, "[UPDATE] " + key + ": the path is longer than 259 bytes");
            continue;
        }
        bool outside = path[0] == '\\' || path[0] == '/' || path.find(':') != std::string::npos;
        for (size_t start = 0; start <= path.size();) {
            size_t end = path.find_first_of("\\/", start);
            if (end == std::string::npos)
                end = path.size();
            const std::string part = path.substr(start, end - start);
            outside = outside || part == "." || part == "..";
            start = end + 1;
        }
        if (outside) {
            Error(c, "[UPDATE] " + key + ": " + Shown(path) +
                         " is not a path inside the game's folder; the updater refuses it");
            continue;
        }
        if (NameOffset(path) == path.size()) {
            Error(c, "[UPDATE] " + key + ": the path " + Shown(path) + " ends in a folder");
            continue;
        }
        const std::string folded = FoldName(path);
        if (folded == "SETUP.INI" || folded == "UPDATE.INI") {
            Error(c, "[UPDATE] " + key + " deletes " + Shown(path) +
                         ", which the updater itself needs at the game's next start");
            continue;
        }
        if (checked.count(folded)) {
            Error(c, "[UPDATE] " + key + " deletes " + Shown(path) +
                         ", the file of the patch's "
                         "own version check (" +
                         checked.at(folded) + ")");
            continue;
        }
        const auto copied = copies.find(folded);
        if (copied != copies.end())
            Warn(c, "[UPDATE] " + key + ": " + Shown(path) + " is also the target of " +
                        copied->second + "; the deletion goes first, then the copy writes it");
        const auto at = written.find(folded);
        if (at != written.end())
            Warn(c, "[UPDATE] " + key + ": " + Shown(path) + " is also written by " + at->second +
                        "; the updater writes it and does not delete it");
    }
}

// The one switch of [UPDATE] that asks for a feature: 1 or 0, nothing the updater could read
// otherwise.
void CheckCreateFolders(Checker* c) {
    std::string value;
    for (const IniSection& s : c->ini)
        for (const IniKey& k : s.keys)
            if (FoldName(s.name) == "UPDATE" && FoldName(k.name) == "CREATEFOLDERS" &&
                value.empty()) {
                value = k.value;
                if (value != "0" && value != "1")
                    Error(c, "[UPDATE] CreateFolders=" + Shown(value) +
                                 ": give 1 (the patch makes the folders its items need) or 0");
            }
}

void CheckCopyItems(Checker* c, const std::vector<std::string>& values) {
    for (size_t n = 0; n < values.size(); ++n) {
        const std::string key = KeyName("CopyFile%02i", (int)n);
        std::string rest = values[n];
        if (rest.size() >= kItemSize)
            Error(c, "[UPDATE] " + key + " is longer than 259 bytes and is cut");
        if (rest.size() >= 2 && rest[1] == ',') {
            if (rest[0] < '0' || rest[0] > '9')
                Warn(c, "[UPDATE] " + key + ": the selector '" + rest.substr(0, 1) +
                            "' is no digit and matches no install mode");
            rest = rest.substr(2);
        }
        if (rest.size() >= 2 && rest[1] == ':') {
            if (rest[0] < '0' || rest[0] > '9')
                Error(c, "[UPDATE] " + key + ": the disc number '" + Shown(rest.substr(0, 1)) +
                             "' is no digit");
            rest = rest.substr(2);
        }
        if (rest.empty())
            Error(c, "[UPDATE] " + key + " names nothing to copy");
    }
}

} // namespace

int CheckUpdateIni(const std::string& text, const std::vector<std::string>& entryNames,
                   std::vector<Finding>* findings, bool folderNames) {
    Checker c{findings, {}, {}, folderNames};
    const size_t before = findings->size();
    for (const std::string& name : entryNames)
        c.files[FoldName(name)] = name;
    size_t badAt = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0 || LooksLikeUtf8(text))
        Error(&c, "UPDATE.INI is UTF-8, not CP932: the updater would show garbled text");
    else if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0)
        Error(&c, "UPDATE.INI is UTF-16, not CP932");
    else if (!IsCp932(text, &badAt))
        Error(&c, "UPDATE.INI is not valid CP932 (byte " + std::to_string(badAt) + ")");
    c.ini = ParseIni(text);
    CheckSetup(&c);
    CheckCreateFolders(&c);
    size_t written = 0;
    const std::vector<std::string> updates = ReadList(&c, "UpdateFile%02i", "update");
    CheckUpdateItems(&c, updates, &written);
    const std::vector<std::string> copies = ReadList(&c, "CopyFile%02i", "copy");
    CheckCopyItems(&c, copies);
    const std::vector<std::string> deletes = ReadList(&c, "DeleteFile%02i", "delete");
    CheckDeleteItems(&c, deletes);
    if (updates.empty() && copies.empty() && deletes.empty())
        Error(&c, "[UPDATE] has no UpdateFileNN and no CopyFileNN: the updater stops with "
                  "\"No 'UpdateFileXX' and 'CopyFileXX'\"");
    else if (!written && copies.empty() && deletes.empty())
        Warn(&c, "[UPDATE] holds only version checks: the updater writes nothing and tells the "
                 "user there is nothing to update");
    for (size_t i = before; i < findings->size(); ++i)
        if ((*findings)[i].error)
            return 0;
    return 1;
}

int CheckFolder(const std::filesystem::path& dir, std::vector<Finding>* findings,
                const std::filesystem::path& leaveOut) {
    Checker c{findings, {}, {}, false};
    findings->clear();
    std::vector<SourceFile> files;
    std::vector<std::string> problems, leftOut;
    std::string error;
    // The files exactly as pack collects them: whatever pack would refuse is an error here.
    bool folderNames = false;
    CollectFiles(dir, leaveOut, &files, &problems, &leftOut, &folderNames);
    for (const std::string& p : problems)
        Error(&c, p);
    for (const std::string& l : leftOut)
        Warn(&c, "left out " + l);
    if (!files.size() && !problems.empty())
        return 0;
    std::filesystem::path iniPath;
    for (const SourceFile& f : files)
        if (f.name == "UPDATE.INI")
            iniPath = f.path;
    if (iniPath.empty()) {
        if (problems.empty())
            Error(&c, "the folder holds no UPDATE.INI");
        return 0;
    }
    std::vector<uint8_t> bytes;
    if (!ReadHostFile(iniPath, &bytes, &error)) {
        Error(&c, error);
        return 0;
    }
    std::vector<std::string> names;
    for (const SourceFile& f : files)
        names.push_back(f.name);
    CheckUpdateIni(std::string(bytes.begin(), bytes.end()), names, findings, folderNames);
    for (const Finding& f : *findings)
        if (f.error)
            return 0;
    return 1;
}
