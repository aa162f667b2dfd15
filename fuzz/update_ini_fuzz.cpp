// mkupdate check's reading of UPDATE.INI on arbitrary bytes: the INI reader, the encoding tests
// and every check of [SETUP] and [UPDATE] must take any text without reading outside it, and
// agree with themselves; so must pack's reading of the items for deltas, down to where each
// item's file would lie in an older release.
#include <stdlib.h>

#include <string>
#include <vector>

#include "mkupdate/check.h"
#include "mkupdate/pack_deltas.h"
#include "mkupdate/update_ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text((const char*)data, size);
    const std::vector<IniSection> ini = ParseIni(text);
    for (const IniSection& s : ini)
        for (const IniKey& k : s.keys)
            if (k.name.find('\n') != std::string::npos || k.value.find('\n') != std::string::npos)
                abort();
    size_t badAt = size;
    if (!IsCp932(text, &badAt) && badAt >= size)
        abort();
    std::string value;
    if (IniValue(ini, "SETUP", "GameTitle", &value) && value.empty())
        abort();
    std::vector<Finding> findings;
    const std::vector<std::string> names = {"UPDATE.INI", "GAME.DAT", "LICENSE.TXT", "A.DAT"};
    const int ok = CheckUpdateIni(text, names, &findings);
    bool anyError = false;
    for (const Finding& f : findings) {
        if (f.text.empty())
            abort();
        anyError = anyError || f.error;
    }
    if (ok == anyError)
        abort();
    std::vector<Finding> again;
    if (CheckUpdateIni(text, names, &again) != ok || again.size() != findings.size())
        abort();

    std::string dataFolder;
    IniValue(ini, "SETUP", "DataFolder", &dataFolder);
    const std::vector<UpdateItemFields> items = ReadUpdateItems(ini);
    for (const UpdateItemFields& item : items)
        if (item.name.size() > item.path.size() || item.path.find(item.name) == std::string::npos)
            abort();
    // A folder that is not there: only the path's reading is exercised, never the disk's.
    const std::filesystem::path nowhere("/nonexistent-mkupdate-fuzz");
    for (const auto& [name, targets] : TargetsByEntry(items)) {
        if (targets.paths.size() != targets.rules.size())
            abort();
        for (const std::string& path : targets.paths) {
            std::filesystem::path file;
            if (InstalledFile(nowhere, dataFolder, path, &file) &&
                file.string().compare(0, nowhere.string().size(), nowhere.string()) != 0)
                abort();
        }
    }
    return 0;
}
