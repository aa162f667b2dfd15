// A run is all or nothing: each platform operation that changes the disk fails in turn, and
// after each failure the installation must be exactly as it was, or, for a failure after the
// change was committed, exactly as the patch says, with nothing of the run's own left behind.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/payload_volumes.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "e2e/driver.h"
#include "payload/archive_writer.h"
#include "settings/install_settings.h"
#include "support/large_payload.h"
#include "update/commit.h"
#include "update/disc_copy.h"
#include "update/journal_format.h"
#include "update/update_run.h"
#include "win/delta_payload.h"
#include "win/tree_snapshot.h"
#include "win/win_test_support.h"

namespace {

const uint64_t kArchiveTime = 0x01D6000000000000ull; // in 2020

// The operation counter: every call of an operation that changes the disk counts, and the
// call numbered FailAt fails as the platform would.
int Calls = 0;
int FailAt = 0;
int CommitPoint = 0; // the call that marks the journal committed
DWORD FailWith = ERROR_ACCESS_DENIED;
std::vector<std::string> CallNames;

bool Count(const char* name) {
    ++Calls;
    CallNames.push_back(name);
    if (Calls != FailAt)
        return true;
    SetLastError(FailWith);
    return false;
}

SavedOps* Real = nullptr;

HANDLE WINAPI CountedCreate(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                            DWORD disposition, DWORD flags, HANDLE tmpl) {
    if (!Count("create"))
        return INVALID_HANDLE_VALUE;
    return Real->platform.CreateFileA(path, access, share, sa, disposition, flags, tmpl);
}
NTSTATUS NTAPI CountedNtCreate(PHANDLE h, ACCESS_MASK access, POBJECT_ATTRIBUTES name,
                               PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes,
                               ULONG share, ULONG disposition, ULONG options, PVOID ea,
                               ULONG eaLength) {
    if (!Count("create"))
        return FailWith == ERROR_SHARING_VIOLATION ? (NTSTATUS)0xC0000043 : (NTSTATUS)0xC0000022;
    return Real->platform.NtCreateFile(h, access, name, io, size, attributes, share, disposition,
                                       options, ea, eaLength);
}
// Renames, removals and attribute changes by handle, named as the calls they stand for.
// Reserving a staged file's room is only a help: it changes nothing that stays, so it is no fault
// point, and when RefuseRoom says so it is refused, which a run must shrug off.
bool RefuseRoom = false;
BOOL WINAPI CountedSetInformation(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                  DWORD size) {
    if (kind == FileAllocationInfo && RefuseRoom) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (kind == FileAllocationInfo)
        return Real->platform.SetFileInformationByHandle(h, kind, info, size);
    const char* name = kind == FileRenameInfo        ? "move"
                       : kind == FileDispositionInfo ? "delete"
                                                     : "set attributes";
    if (!Count(name))
        return FALSE;
    return Real->platform.SetFileInformationByHandle(h, kind, info, size);
}
BOOL WINAPI CountedWrite(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED o) {
    if (!Count("write")) {
        *written = 0;
        return FALSE;
    }
    return Real->platform.WriteFile(h, data, size, written, o);
}
BOOL WINAPI CountedMove(LPCSTR from, LPCSTR to, DWORD flags) {
    if (!Count("move"))
        return FALSE;
    return Real->platform.MoveFileExA(from, to, flags);
}
BOOL WINAPI CountedDelete(LPCSTR path) {
    return Count("delete") && Real->platform.DeleteFileA(path);
}
BOOL WINAPI CountedSetAttributes(LPCSTR path, DWORD attributes) {
    return Count("set attributes") && Real->platform.SetFileAttributesA(path, attributes);
}
int WINAPI CountedShellCopy(LPSHFILEOPSTRUCTA op) {
    if (!Count("shell copy"))
        return ERROR_ACCESS_DENIED;
    return Real->platform.SHFileOperationA(op);
}
BOOL WINAPI CountedFlush(HANDLE h) {
    return Count("flush") && Real->direct.FlushFileBuffers(h);
}
BOOL WINAPI CountedSetTime(HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) {
    return Count("set times") && Real->direct.SetFileTime(h, c, a, w);
}
BOOL WINAPI CountedCreateFolder(LPCSTR path, LPSECURITY_ATTRIBUTES sa) {
    return Count("create folder") && Real->direct.CreateDirectoryA(path, sa);
}
BOOL WINAPI CountedRemoveFolder(LPCSTR path) {
    return Count("remove folder") && Real->direct.RemoveDirectoryA(path);
}
BOOL WINAPI CountedRead(HANDLE h, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED o) {
    if (!Count("read")) {
        *read = 0;
        return FALSE;
    }
    return Real->platform.ReadFile(h, data, size, read, o);
}
LSTATUS WINAPI CountedSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                               DWORD size) {
    // The journal's state word follows its magic and version.
    if (size > 12 && data[8] == kJournalCommitted)
        CommitPoint = Calls + 1;
    if (!Count("keep journal"))
        return ERROR_ACCESS_DENIED;
    return Real->platform.RegSetValueExA(key, name, reserved, type, data, size);
}
LSTATUS WINAPI CountedDeleteValue(HKEY key, LPCSTR name) {
    if (!Count("remove journal"))
        return ERROR_ACCESS_DENIED;
    return Real->platform.RegDeleteValueA(key, name);
}
LSTATUS WINAPI CountedFlushKey(HKEY key) {
    if (!Count("flush journal"))
        return ERROR_ACCESS_DENIED;
    return Real->platform.RegFlushKey(key);
}

// Another program's links: planted at the name the run is about to create or rename a file to,
// between the gate's walk to the folder and the act, or before the run in place of a folder the
// run goes through. Each run plants at one point only, the plantAt-th it meets.
struct Planter {
    int points = 0, plantAt = 0;
    std::string outside, planted;
} Plant;

std::string Narrow(const WCHAR* text, size_t length) {
    char out[MAX_PATH * 2] = "";
    WideCharToMultiByte(CP_ACP, 0, text, (int)length, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

std::string FinalOfHandle(HANDLE h) {
    char final[MAX_PATH * 2] = "";
    GetFinalPathNameByHandleA(h, final, sizeof final, VOLUME_NAME_DOS);
    return strncmp(final, "\\\\?\\", 4) == 0 ? final + 4 : final;
}

// 1 when what stands at path leads elsewhere (the run may have replaced the link with a file).
bool LeadsElsewhere(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; // dangling
    const std::string final = FinalOfHandle(h);
    CloseHandle(h);
    return lstrcmpiA(final.c_str(), path.c_str()) != 0;
}

void PlantIfFree(const std::string& path, bool folder) {
    if (path.empty() || PathExists(path) || ++Plant.points != Plant.plantAt)
        return;
    if (MakeLink(path, Plant.outside + (folder ? "\\tree" : "\\victim.txt")))
        Plant.planted = path;
}

NTSTATUS NTAPI PlantingNtCreate(PHANDLE h, ACCESS_MASK access, POBJECT_ATTRIBUTES name,
                                PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes,
                                ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                ULONG eaLength) {
    if (disposition == FILE_CREATE && name->RootDirectory && name->ObjectName->Length > 0)
        PlantIfFree(FinalOfHandle(name->RootDirectory) + "\\" +
                        Narrow(name->ObjectName->Buffer, name->ObjectName->Length / 2),
                    (options & FILE_DIRECTORY_FILE) != 0);
    return Real->platform.NtCreateFile(h, access, name, io, size, attributes, share, disposition,
                                       options, ea, eaLength);
}
BOOL WINAPI PlantingSetInformation(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info,
                                   DWORD size) {
    const FILE_RENAME_INFO* to = (const FILE_RENAME_INFO*)info;
    if (kind == FileRenameInfo) {
        const std::string name = Narrow(to->FileName, to->FileNameLength / 2);
        PlantIfFree(to->RootDirectory ? FinalOfHandle(to->RootDirectory) + "\\" + name
                                      : name.substr(name.compare(0, 4,
                                                                 "\\?"
                                                                 "?\\") == 0
                                                        ? 4
                                                        : 0),
                    false);
    }
    return Real->platform.SetFileInformationByHandle(h, kind, info, size);
}

// A staged file rewritten by another program at every step of the run: each file the run has
// staged so far is opened for writing and given other bytes, as far as the platform lets it.
int RewritesTried = 0, RewritesTaken = 0;
std::vector<std::string> StagedFolders;
void RewriteStagedFiles(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = found.cFileName, path = folder + "\\" + name;
        if (name == "." || name == "..")
            continue;
        const bool ours = folder.find("~qv") != std::string::npos || name.rfind("~qv", 0) == 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RewriteStagedFiles(path);
        } else if (ours && name.find(".old") == std::string::npos) {
            ++RewritesTried;
            HANDLE w = CreateFileA(path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            DWORD written = 0;
            if (w != INVALID_HANDLE_VALUE && WriteFile(w, "swapped", 7, &written, nullptr) &&
                written == 7)
                ++RewritesTaken;
            if (w != INVALID_HANDLE_VALUE)
                CloseHandle(w);
        }
    } while (FindNextFileA(find, &found));
    FindClose(find);
}
BOOL WINAPI RewritingFlush(HANDLE h) {
    if (CommitPoint == 0)
        for (const std::string& f : StagedFolders)
            RewriteStagedFiles(f);
    return Real->direct.FlushFileBuffers(h);
}
LSTATUS WINAPI RewritingSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD size) {
    for (const std::string& f : StagedFolders)
        RewriteStagedFiles(f);
    if (size > 12 && data[8] == kJournalCommitted)
        CommitPoint = 1;
    return Real->platform.RegSetValueExA(key, name, reserved, type, data, size);
}

// With reads, every read fails in turn too: a payload in volumes is read from files all along.
void CountEveryChange(bool reads = false) {
    if (reads)
        PlatformOps.ReadFile = CountedRead;
    PlatformOps.CreateFileA = CountedCreate;
    PlatformOps.NtCreateFile = CountedNtCreate;
    PlatformOps.SetFileInformationByHandle = CountedSetInformation;
    PlatformOps.WriteFile = CountedWrite;
    PlatformOps.MoveFileExA = CountedMove;
    PlatformOps.DeleteFileA = CountedDelete;
    PlatformOps.SetFileAttributesA = CountedSetAttributes;
    PlatformOps.SHFileOperationA = CountedShellCopy;
    DirectOps.FlushFileBuffers = CountedFlush;
    DirectOps.SetFileTime = CountedSetTime;
    DirectOps.CreateDirectoryA = CountedCreateFolder;
    DirectOps.RemoveDirectoryA = CountedRemoveFolder;
    PlatformOps.RegSetValueExA = CountedSetValue;
    PlatformOps.RegDeleteValueA = CountedDeleteValue;
    PlatformOps.RegFlushKey = CountedFlushKey;
}

class AllOrNothingTest : public UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        if (GetDriveTypeA("E:\\") != DRIVE_CDROM)
            GTEST_SKIP() << "no CD-ROM drive E: in this prefix";
        Real = &saved;
        memset(&InstallSettings, 0, sizeof InstallSettings);
        strcpy(UpdaterConfig.DataFolder, "patch");
        strcpy(InstallSettings.DiskCheckFile[1], "DISC1.CHK");
        strcpy(GameIdentity.GameTitle, "ゲーム");
        big.assign(9u << 20, 0);
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = (char)(i * 2654435761u >> 24);
        const std::vector<std::pair<std::string, std::string>> entries = {
            {"a.dat", "new a"},    {"b.dat", "new b"},         {"c.dat", "new c"},
            {"d.dat", "new d"},    {"e.dat", "new e"},         {"f.dat", "new f"},
            {"save.dat", "deflt"}, {"fresh.dat", "new fresh"}, {"g.dat", "new g"},
            {"h.dat", big},        {"t.dat", "new t"},         {"tofile", "new tofile"}};
        for (const auto& [name, bytes] : entries)
            wholes.push_back(WholeFile{name, bytes});
        // k.dat travels only as a delta from the installed release.
        oldK = big.substr(0, 100000);
        newK = oldK;
        newK.replace(5000, 7, "changed");
        ASSERT_NO_FATAL_FAILURE(LoadRelease(false));
        const std::string ini = "[UPDATE]\r\n"
                                "UpdateFile00=a.dat\r\n"
                                "UpdateFile01=b.dat\r\n"
                                "UpdateFile02=u,c.dat\r\n"
                                "UpdateFile03=u,d.dat\r\n"
                                "UpdateFile04=o,e.dat\r\n"
                                "UpdateFile05=o,f.dat\r\n"
                                "UpdateFile06=d,save.dat\r\n"
                                "UpdateFile07=d,fresh.dat\r\n"
                                "UpdateFile08=sub\\g.dat\r\n"
                                "UpdateFile09=h.dat\r\n"
                                "UpdateFile10=k.dat\r\n"
                                "UpdateFile11=trade\\t.dat\r\n"
                                "UpdateFile12=tofile\r\n"
                                "DeleteFile00=old.dat\r\n"
                                "DeleteFile01=sub\\gone.dat\r\n"
                                "DeleteFile02=never.dat\r\n"
                                "DeleteFile03=trade\r\n"
                                "DeleteFile04=tofile\\x.dat\r\n"
                                "DeleteFile05=tofile\\in\\y.dat\r\n"
                                "CopyFile00=1:movie\\op.mpg\r\n"
                                "CopyFile01=1:extras\r\n";
        WriteText(UpdateIniPath, ini);
    }
    // The payload as one image, or with h.dat in volumes beside it.
    void LoadRelease(bool volumes) {
        CloseArchive();
        std::vector<uint8_t> image;
        std::vector<std::string> names;
        const PayloadBuilder inVolumes = [&](std::vector<ArchiveInput>& entries,
                                             const ArchiveOptions& options,
                                             std::vector<uint8_t>* out, std::string* error) {
            for (ArchiveInput& e : entries)
                e.keep = e.name != "h.dat";
            return BuildWithVolumes(entries, options, folder.path, 1u << 20, 1u << 20, out, &names,
                                    error);
        };
        ASSERT_EQ(1, BuildDeltaPayload(wholes, {{"k.dat", oldK, newK}}, kArchiveTime, &image,
                                       PAYLOAD_FEATURE_DELETIONS | PAYLOAD_FEATURE_NEW_FOLDERS,
                                       volumes ? inVolumes : PayloadBuilder()));
        ASSERT_EQ(volumes, names.size() >= 2) << names.size() << " volumes";
        ASSERT_EQ(1, LoadPayload(image));
        ASSERT_EQ(1, CheckPayloadIntegrity());
        ASSERT_EQ(1, OpenPayloadVolumes(folder.path.c_str()));
    }
    void TearDown() override {
        UpdateRunFixture::TearDown();
        ScratchFolder::RemoveContents(DiscFolder('e'));
    }

    // The installation before the run, and disc 1 in drive E:.
    void Lay() {
        ScratchFolder::RemoveContents(folder.path + "\\game");
        ScratchFolder::RemoveContents(folder.path + "\\data");
        CreateDirectoryA(install.c_str(), nullptr);
        CreateDirectoryA(data.c_str(), nullptr);
        const std::string game = install + "\\patch";
        CreateDirectoryA(game.c_str(), nullptr);
        CreateDirectoryA((game + "\\sub").c_str(), nullptr);
        WriteText(game + "\\a.dat", "old a", kArchiveTime + 5);
        SetFileAttributesA((game + "\\a.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteText(game + "\\c.dat", "old c", kArchiveTime - 5);
        WriteText(game + "\\d.dat", "newer d", kArchiveTime + 5);
        SetFileAttributesA((game + "\\d.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteText(game + "\\e.dat", "old e", kArchiveTime - 5);
        WriteText(game + "\\sub\\g.dat", "old g", kArchiveTime - 5);
        WriteText(game + "\\h.dat", "old h", kArchiveTime - 5);
        WriteText(game + "\\k.dat", oldK, kArchiveTime - 5);
        WriteText(game + "\\old.dat", "removed", kArchiveTime - 5);
        WriteText(game + "\\sub\\gone.dat", "removed too", kArchiveTime - 5);
        SetFileAttributesA((game + "\\sub\\gone.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        // A file the new release has as a folder, and a folder it has as a file.
        WriteText(game + "\\trade", "a file to become a folder", kArchiveTime - 5);
        CreateDirectoryA((game + "\\tofile").c_str(), nullptr);
        CreateDirectoryA((game + "\\tofile\\in").c_str(), nullptr);
        WriteText(game + "\\tofile\\x.dat", "in a folder to become a file", kArchiveTime - 5);
        WriteText(game + "\\tofile\\in\\y.dat", "deeper", kArchiveTime - 5);
        WriteText(install + "\\game.exe", "program", kArchiveTime - 9);
        CreateDirectoryA((data + "\\patch").c_str(), nullptr);
        WriteText(data + "\\patch\\save.dat", "player's save", kArchiveTime - 7);
        const std::string disc = DiscFolder('e');
        CreateDirectoryA(disc.c_str(), nullptr);
        ScratchFolder::RemoveContents(disc);
        WriteText(disc + "\\DISC1.CHK", "");
        CreateDirectoryA((disc + "\\movie").c_str(), nullptr);
        WriteText(disc + "\\movie\\op.mpg", "movie", kArchiveTime);
        SetFileAttributesA((disc + "\\movie\\op.mpg").c_str(), FILE_ATTRIBUTE_READONLY);
        CreateDirectoryA((disc + "\\extras").c_str(), nullptr);
        WriteText(disc + "\\extras\\one.txt", "one", kArchiveTime);
        WriteText(disc + "\\extras\\two.txt", "two", kArchiveTime);
        DiscRoot[0] = 0;
        ShownMessages.clear();
    }
    TreeSnapshot Both() { return TakeSnapshot({{"game", install}, {"data", data}}); }

    std::string big, oldK, newK;
    std::vector<WholeFile> wholes;

    void EveryFaultLeavesTheOldStateOrTheNewOne(bool volumes);
};

void AllOrNothingTest::EveryFaultLeavesTheOldStateOrTheNewOne(bool volumes) {
    Lay();
    const TreeSnapshot before = Both();
    CountEveryChange(volumes);
    Calls = 0;
    FailAt = 0;
    CommitPoint = 0;
    CallNames.clear();
    // The run that counts is refused every reservation of room, and must still end as planned.
    RefuseRoom = true;
    DialogOutcome o = RunInDialog(100, RunUpdate);
    RefuseRoom = false;
    ASSERT_EQ(99, o.result) << (ShownMessages.empty() ? "" : ShownMessages[0]);
    ASSERT_TRUE(ShownMessages.empty()) << ShownMessages[0];
    const TreeSnapshot after = Both();
    const int total = Calls;
    const int commitPoint = CommitPoint;
    ASSERT_GT(commitPoint, 0);
    ASSERT_TRUE(RunLeftovers(install).empty()) << RunLeftovers(install)[0];
    ASSERT_FALSE(JournalKept(InstallRecord.KeyPath));
    // The patch's own effect, checked once by hand: the rest of the test compares with it.
    EXPECT_EQ("new a", after.at("game:patch\\a.dat").bytes);
    EXPECT_EQ(0u, after.at("game:patch\\a.dat").attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ("new b", after.at("game:patch\\b.dat").bytes);
    EXPECT_EQ("new c", after.at("game:patch\\c.dat").bytes);
    EXPECT_EQ("newer d", after.at("game:patch\\d.dat").bytes);
    EXPECT_EQ(0u, after.at("game:patch\\d.dat").attributes & FILE_ATTRIBUTE_READONLY)
        << "an Update item that keeps a newer file clears its read-only mark all the same";
    EXPECT_EQ("new e", after.at("game:patch\\e.dat").bytes);
    EXPECT_FALSE(after.count("game:patch\\f.dat"));
    EXPECT_EQ("player's save", after.at("data:patch\\save.dat").bytes);
    EXPECT_EQ("new fresh", after.at("data:patch\\fresh.dat").bytes);
    EXPECT_EQ("new g", after.at("game:patch\\sub\\g.dat").bytes);
    EXPECT_EQ(big, after.at("game:patch\\h.dat").bytes);
    EXPECT_EQ(newK, after.at("game:patch\\k.dat").bytes);
    EXPECT_FALSE(after.count("game:patch\\old.dat") || after.count("game:patch\\sub\\gone.dat"));
    EXPECT_EQ("new t", after.at("game:patch\\trade\\t.dat").bytes);
    EXPECT_EQ("new tofile", after.at("game:patch\\tofile").bytes);
    EXPECT_EQ("movie", after.at("game:movie\\op.mpg").bytes);
    EXPECT_EQ("two", after.at("game:extras\\two.txt").bytes);
    EXPECT_EQ(kArchiveTime, after.at("game:patch\\b.dat").writeTime);
    // The data file written back takes the time of the rewrite.
    const std::vector<std::string> rewritten = {"data:patch\\save.dat"};

    int mixed = 0;
    for (int k = 1; k <= total; ++k) {
        Lay();
        CountEveryChange(volumes);
        Calls = 0;
        FailAt = k;
        const std::string failed = CallNames[k - 1];
        DialogOutcome r = RunInDialog(100, RunUpdate);
        PlatformOps = saved.platform;
        DirectOps = saved.direct;
        const TreeSnapshot now = Both();
        std::vector<std::string> leftovers = RunLeftovers(install);
        for (const std::string& l : RunLeftovers(data))
            leftovers.push_back(l);
        const bool committed = k > commitPoint;
        const std::vector<std::string> differences =
            committed ? CompareSnapshots(after, now, rewritten) : CompareSnapshots(before, now);
        if (!differences.empty())
            ++mixed;
        EXPECT_TRUE(differences.empty())
            << "fault " << k << " (" << failed << "): " << differences.size()
            << " differences, first " << differences[0];
        EXPECT_TRUE(leftovers.empty())
            << "fault " << k << " (" << failed << ") left " << leftovers[0];
        // Every removal is tried twice: one fault never leaves the journal kept.
        EXPECT_FALSE(JournalKept(InstallRecord.KeyPath)) << "fault " << k << " (" << failed << ")";
        RemoveJournal();
        if (committed) {
            EXPECT_EQ(99, r.result) << "fault " << k << " (" << failed << ")";
        } else {
            EXPECT_EQ(-1, r.result) << "fault " << k << " (" << failed << ")";
            EXPECT_FALSE(ShownMessages.empty()) << "fault " << k << ": the user is told";
        }
    }
    printf("%s: %d fault points, %d mixed\n", volumes ? "volumes" : "one image", total, mixed);
}

// Once over the payload in one image, once over the same payload with files in volumes, whose
// reads fail in turn as well.
TEST_F(AllOrNothingTest, EveryFaultLeavesTheOldStateOrTheNewOne) {
    for (const bool volumes : {false, true}) {
        ASSERT_NO_FATAL_FAILURE(LoadRelease(volumes));
        EveryFaultLeavesTheOldStateOrTheNewOne(volumes);
    }
}

// A folder that gives way to a file but holds a file of the player's the patch does not delete:
// the run fails whole, with the write-failed box, and the player's file stays where it was.
TEST_F(AllOrNothingTest, AFolderHoldingAFileThePatchDoesNotDeleteStays) {
    Lay();
    WriteText(install + "\\patch\\tofile\\in\\mine.sav", "the player's", kArchiveTime - 5);
    const TreeSnapshot before = Both();
    const DialogOutcome r = RunInDialog(100, RunUpdate);
    EXPECT_EQ(-1, r.result);
    ASSERT_FALSE(ShownMessages.empty());
    EXPECT_NE(std::string::npos, ShownMessages[0].find("ファイルの書き込みに失敗しました"))
        << ShownMessages[0];
    const std::vector<std::string> differences = CompareSnapshots(before, Both());
    EXPECT_TRUE(differences.empty()) << differences[0];
    EXPECT_TRUE(RunLeftovers(install).empty()) << RunLeftovers(install)[0];
    EXPECT_FALSE(JournalKept(InstallRecord.KeyPath));
}

// A file another program holds for a moment refuses a rename or a removal once: the run waits
// it out and completes, at every rename and removal it makes.
TEST_F(AllOrNothingTest, AMomentaryHoldIsWaitedOut) {
    Lay();
    CountEveryChange();
    Calls = 0;
    FailAt = 0;
    CallNames.clear();
    ASSERT_EQ(99, RunInDialog(100, RunUpdate).result);
    const TreeSnapshot after = Both();
    const std::vector<std::string> names = CallNames;
    const std::vector<std::string> rewritten = {"data:patch\\save.dat"};
    int held = 0, mixed = 0;
    FailWith = ERROR_SHARING_VIOLATION;
    for (int k = 1; k <= (int)names.size(); ++k) {
        if (names[k - 1] != "move" && names[k - 1] != "delete")
            continue;
        ++held;
        Lay();
        CountEveryChange();
        Calls = 0;
        FailAt = k;
        const DialogOutcome r = RunInDialog(100, RunUpdate);
        PlatformOps = saved.platform;
        DirectOps = saved.direct;
        const std::vector<std::string> differences = CompareSnapshots(after, Both(), rewritten);
        mixed += !differences.empty();
        EXPECT_EQ(99, r.result) << "hold at " << k << " (" << names[k - 1] << ")";
        EXPECT_TRUE(differences.empty()) << "hold at " << k << ": first " << differences[0];
        EXPECT_TRUE(RunLeftovers(install).empty()) << "hold at " << k;
    }
    FailWith = ERROR_ACCESS_DENIED;
    printf("%d held renames and removals, %d mixed\n", held, mixed);
    EXPECT_GT(held, 10);
}

// A link to a folder outside the game at every name and folder level the run creates, walks or
// renames to: before the run in place of each folder of the game it goes through (the data
// folder included), and between the gate's walk and each creation or rename. Nothing outside
// changes; each run completes inside the game, or fails and the next start leaves the game as it
// was.
TEST_F(AllOrNothingTest, ALinkAtEveryPointLeadsNowhere) {
    ScratchFolder outside;
    WriteText(outside.File("victim.txt"), "not the game's");
    CreateDirectoryA(outside.File("tree").c_str(), nullptr);
    WriteText(outside.File("tree\\leaf.txt"), "leaf");
    const TreeSnapshot outsideBefore = TakeSnapshot(outside.path);
    Plant = Planter{0, 0, outside.path, ""};
    Lay();
    const TreeSnapshot before = Both();
    PlatformOps.NtCreateFile = PlantingNtCreate;
    PlatformOps.SetFileInformationByHandle = PlantingSetInformation;
    ASSERT_EQ(99, RunInDialog(100, RunUpdate).result);
    PlatformOps = saved.platform;
    const TreeSnapshot after = Both();
    const int during = Plant.points;
    // The folders the run goes through, as they stand before it.
    std::vector<std::string> folders = {data};
    for (const auto& [key, entry] : before) {
        const size_t colon = key.find(':');
        if (colon + 1 < key.size() && (entry.attributes & FILE_ATTRIBUTE_DIRECTORY))
            folders.push_back((key.compare(0, colon, "game") == 0 ? install : data) + "\\" +
                              key.substr(colon + 1));
    }
    int points = 0, escaped = 0, mixed = 0, left = 0;
    auto judge = [&](const std::string& where, const DialogOutcome& r) {
        ++points;
        // What a failed run could not take back (a link it cannot remove as itself, under Wine)
        // is the next start's, under the journal it kept: the run's own names only.
        const bool kept = JournalKept(InstallRecord.KeyPath);
        if (kept)
            RecoverInterruptedRun();
        const bool out = !CompareSnapshots(outsideBefore, TakeSnapshot(outside.path)).empty();
        const TreeSnapshot now = Both();
        std::vector<std::string> differences;
        for (const std::string& d : r.result == 99
                                        ? CompareSnapshots(after, now, {"data:patch\\save.dat"})
                                        : CompareSnapshots(before, now)) {
            // A folder of the run's that another program put something into stays, by design.
            const bool theirs =
                d.rfind("extra: game:", 0) == 0 &&
                lstrcmpiA((install + "\\" + d.substr(12) + "\\").c_str(),
                          where.substr(0, install.size() + d.size() - 10).c_str()) == 0;
            if (!theirs && (!kept || d.find("~qv") == std::string::npos))
                differences.push_back(d);
        }
        left += kept;
        escaped += out;
        mixed += !differences.empty();
        EXPECT_FALSE(out) << "a link at " << where << " led the run outside";
        EXPECT_TRUE(differences.empty()) << "a link at " << where << " left the game mixed ("
                                         << r.result << "): " << differences[0] << "\n"
                                         << (ShownMessages.empty() ? "" : ShownMessages.back());
        ForgetJournal(InstallRecord.KeyPath);
    };
    for (const std::string& f : folders) {
        Lay();
        ASSERT_TRUE(MoveFileA(f.c_str(), (f + "-away").c_str())) << f;
        ASSERT_TRUE(MakeLink(f, outside.File("tree"))) << f;
        const DialogOutcome r = RunInDialog(100, RunUpdate);
        RemoveLink(f);
        MoveFileA((f + "-away").c_str(), f.c_str());
        judge(f, r);
    }
    for (int k = 1; k <= during; ++k) {
        Lay();
        Plant = Planter{0, k, outside.path, ""};
        PlatformOps.NtCreateFile = PlantingNtCreate;
        PlatformOps.SetFileInformationByHandle = PlantingSetInformation;
        const DialogOutcome r = RunInDialog(100, RunUpdate);
        PlatformOps = saved.platform;
        ASSERT_FALSE(Plant.planted.empty()) << "point " << k << " was not met again";
        if (LeadsElsewhere(Plant.planted))
            RemoveLink(Plant.planted);
        judge(Plant.planted, r);
    }
    printf("%d link points, %d escaped, %d mixed, %d left to the next start\n", points, escaped,
           mixed, left);
    EXPECT_GT(during, 10);
}

// Every staged file is rewritten by another program at every step before the commit, as far as
// the platform lets it: nothing of that reaches the game.
TEST_F(AllOrNothingTest, AStagedFileRewrittenAtAnyStepNeverReachesTheGame) {
    Lay();
    ASSERT_EQ(99, RunInDialog(100, RunUpdate).result);
    const TreeSnapshot after = Both();
    Lay();
    const TreeSnapshot before = Both();
    StagedFolders = {install, data};
    RewritesTried = RewritesTaken = 0;
    CommitPoint = 0;
    DirectOps.FlushFileBuffers = RewritingFlush;
    PlatformOps.RegSetValueExA = RewritingSetValue;
    const DialogOutcome r = RunInDialog(100, RunUpdate);
    PlatformOps = saved.platform;
    DirectOps = saved.direct;
    const std::vector<std::string> differences =
        r.result == 99 ? CompareSnapshots(after, Both(), {"data:patch\\save.dat"})
                       : CompareSnapshots(before, Both());
    printf("%d rewrites of staged files tried, %d taken, %d mixed\n", RewritesTried, RewritesTaken,
           (int)!differences.empty());
    EXPECT_GT(RewritesTried, 20);
    EXPECT_TRUE(differences.empty()) << differences[0];
    EXPECT_TRUE(r.result == 99 ? RewritesTaken == 0 : RewritesTaken > 0);
}

} // namespace
