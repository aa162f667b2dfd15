// Prepares what an end-to-end run needs: a copy of UPDATE.exe carrying a payload of the test's
// own, the installer's registry key, an install folder.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

// UPDATE.exe as built, set by the test program's main from its command line, and the test-only
// copy of it that ends itself at a given change to the disk (QV_CRASH_AT).
extern std::string BuiltUpdater;
extern std::string CrashUpdater;

struct PayloadFile {
    std::string name;
    std::string bytes;
};

// An archive image with the files, stored the way mkupdate stores them (compressed, scrambled);
// with features, an integrity record that requires them.
std::vector<uint8_t> MakePayload(const std::vector<PayloadFile>& files, uint32_t features = 0);

// Copies UPDATE.exe into folder and replaces its payload resource by payload; with no payload
// the copy keeps no resources at all. Returns the copy's path, empty on failure.
std::string MakeUpdater(const std::string& folder, const std::vector<uint8_t>* payload,
                        const std::string& built = BuiltUpdater);

// The installer's key HKCU\Software\company\gameDir; values left out when empty / negative.
struct InstallKey {
    std::string company, gameDir;
    std::string instPath, dataPath;
    bool writeInstPath = true, writeDataPath = true, writeInstMode = true;
    bool terminateInstPath = true; // false: the value's bytes end without a NUL
    int32_t instMode = 0;
};
void WriteInstallKey(const InstallKey& key);
void DeleteInstallKey(const std::string& company, const std::string& gameDir);

// The per-run folders that updaters left in the temporary folder, and their removal, as an
// updater that was killed could not.
std::vector<std::string> LeftoverRunFolders();
void RemoveLeftoverRunFolders();
