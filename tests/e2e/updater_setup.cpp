#include "e2e/updater_setup.h"

#include "archive/archive_format.h"
#include "payload/archive_writer.h"
#include "win/win_test_support.h"

std::string BuiltUpdater;
std::string CrashUpdater;

std::vector<uint8_t> MakePayload(const std::vector<PayloadFile>& files, uint32_t features) {
    std::vector<ArchiveInput> entries;
    for (const PayloadFile& f : files)
        entries.push_back(ArchiveInput{f.name, (const uint8_t*)f.bytes.data(), f.bytes.size(),
                                       0x01D9000000000000ull, true, true});
    std::vector<uint8_t> image;
    std::string error;
    ArchiveOptions options(kIndexCompressed | kIndexScrambled, kCompressFast, false);
    options.integrity = features != 0;
    options.requiredFeatures = features;
    BuildArchiveWith(entries, options, &image, &error);
    return image;
}

std::string MakeUpdater(const std::string& folder, const std::vector<uint8_t>* payload,
                        const std::string& built) {
    const std::string exe = folder + "\\UPDATE.exe";
    if (!CopyFileA(built.c_str(), exe.c_str(), FALSE))
        return std::string();
    // Without a payload every resource goes: removing a single one is not reliable here.
    HANDLE update = BeginUpdateResourceA(exe.c_str(), payload ? FALSE : TRUE);
    if (!update)
        return std::string();
    BOOL ok = TRUE;
    if (payload)
        ok = UpdateResourceA(update, "UPDATE", MAKEINTRESOURCEA(102),
                             MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), (void*)payload->data(),
                             (DWORD)payload->size());
    if (!EndUpdateResourceA(update, FALSE) || !ok)
        return std::string();
    return exe;
}

void WriteInstallKey(const InstallKey& key) {
    const std::string path = "Software\\" + key.company + "\\" + key.gameDir;
    HKEY h;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return;
    if (key.writeInstPath)
        RegSetValueExA(h, "InstPath", 0, key.terminateInstPath ? REG_SZ : REG_BINARY,
                       (const BYTE*)key.instPath.c_str(),
                       (DWORD)key.instPath.size() + (key.terminateInstPath ? 1 : 0));
    if (key.writeDataPath)
        RegSetValueExA(h, "DataPath", 0, REG_SZ, (const BYTE*)key.dataPath.c_str(),
                       (DWORD)key.dataPath.size() + 1);
    if (key.writeInstMode) {
        DWORD mode = (DWORD)key.instMode;
        RegSetValueExA(h, "InstMode", 0, REG_DWORD, (const BYTE*)&mode, sizeof mode);
    }
    DWORD add = 0;
    RegSetValueExA(h, "InstAdd", 0, REG_DWORD, (const BYTE*)&add, sizeof add);
    RegCloseKey(h);
}

void DeleteInstallKey(const std::string& company, const std::string& gameDir) {
    RegDeleteKeyA(HKEY_CURRENT_USER, ("Software\\" + company + "\\" + gameDir).c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, ("Software\\" + company).c_str());
}

std::vector<std::string> LeftoverRunFolders() {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((TemporaryFolder() + "UPDATE.*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do
            names.push_back(fd.cFileName);
        while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    return names;
}

void RemoveLeftoverRunFolders() {
    for (const std::string& name : LeftoverRunFolders()) {
        ScratchFolder::RemoveContents(TemporaryFolder() + name);
        RemoveDirectoryA((TemporaryFolder() + name).c_str());
    }
}
