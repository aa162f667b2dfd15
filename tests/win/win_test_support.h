// Helpers for tests that run under Wine against the real platform.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "core/platform_ops.h"

// Every message box the code under test asked for, as "caption|text", instead of a window.
extern std::vector<std::string> ShownMessages;
int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// How a recorded box is answered: null answers IDOK.
extern int (*AnswerMessageBox)(const std::string& text);

// What a dialog showed once the work given to it returned.
struct DialogOutcome {
    INT_PTR result; // -1 when the work ended the dialog, else 99
    std::string info;
    std::string nextText;
    bool backEnabled, nextEnabled, cancelEnabled;
};
// Runs dialog template templateId of this program modally and, once it is up, calls work with
// its window; then records the controls and ends the dialog, unless the work ended it.
DialogOutcome RunInDialog(int templateId, void (*work)(HWND dialog));

// A free-space query that reports FakeFreeBytes, for DirectOps.GetDiskFreeSpaceExA.
extern uint64_t FakeFreeBytes;
BOOL WINAPI FakeFreeSpace(LPCSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total,
                          PULARGE_INTEGER free);

// A thread creation for DirectOps.CreateThread that counts the threads asked for and, while
// RefuseThreads says so, refuses them.
extern int ThreadsAsked;
extern bool RefuseThreads;
HANDLE WINAPI CountedCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD id);

// Puts the tables back as they were when the fixture started, whatever the test replaced.
struct SavedOps {
    PlatformOpTable platform = PlatformOps;
    DirectOpTable direct = DirectOps;
    ~SavedOps() {
        PlatformOps = platform;
        DirectOps = direct;
    }
};

// A new empty folder under the temporary folder, removed with its contents at the end.
struct ScratchFolder {
    std::string path; // no trailing backslash
    ScratchFolder();
    ~ScratchFolder();
    std::string File(const std::string& name) const { return path + "\\" + name; }
    std::vector<std::string> Names() const { return NamesIn(path); }
    // The entries of any folder, sorted.
    static std::vector<std::string> NamesIn(const std::string& folder);
    // Removes everything inside a folder, read-only files included, and keeps the folder.
    static void RemoveContents(const std::string& folder);
};

// A scratch folder that the file gate acts beneath, as it does beneath the run's own folder,
// the tables put back and the archive closed at the end: for tests that write entries out.
class GatedFolderTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    SavedOps saved;
    ScratchFolder folder;
};

// Makes image the payload and opens it as the current archive; 1 when it opened. The image
// is kept alive until the next call.
int LoadPayload(const std::vector<uint8_t>& image);

// The temporary folder, with its backslash at the end.
std::string TemporaryFolder();

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The file's bytes as a string, and a file made of a string, stamped with writeTime unless 0.
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text, uint64_t writeTime = 0);
bool PathExists(const std::string& path);

struct FileTimes {
    uint64_t creation, access, write;
};
FileTimes TimesOf(const std::string& path);
void SetWriteTime(const std::string& path, uint64_t time);

// Links of the host's file system, which Wine shows as links (reparse points): one at path
// pointing at the folder target, made and removed by the host's own programs. Both wait until
// the change shows; false when it did not.
bool MakeLink(const std::string& path, const std::string& target);
bool RemoveLink(const std::string& path);

// The folder behind CD-ROM drive letter (e or g) of the test prefix: there, it is a disc in the
// drive.
std::string DiscFolder(char letter);

// Where an update run starts from: the game installed in a scratch folder, its data folder
// beside it, under a key of the suite's own, in mode 1, with no UPDATE.INI settings yet.
class UpdateRunFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs the update in its dialog with UPDATE.INI's [UPDATE] section given.
    DialogOutcome Run(const std::string& section);

    SavedOps saved;
    ScratchFolder folder;
    std::string install = folder.File("game");
    std::string data = folder.File("data");
};

// Whether a run's journal is kept under HKEY_LOCAL_MACHINE\keyPath, and its removal.
bool JournalKept(const std::string& keyPath);
void ForgetJournal(const std::string& keyPath);
