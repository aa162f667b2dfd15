#include "win/win_test_support.h"

#include <commctrl.h>

#include <algorithm>

#include "archive/archive.h"
#include "core/file_gate.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "e2e/driver.h"
#include "update/update_run.h"

std::vector<std::string> ShownMessages;
uint64_t FakeFreeBytes = 0;

int ThreadsAsked = 0;
bool RefuseThreads = false;
HANDLE WINAPI CountedCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD id) {
    ++ThreadsAsked;
    if (!RefuseThreads)
        return CreateThread(sa, stack, start, parameter, flags, id);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL WINAPI FakeFreeSpace(LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER, PULARGE_INTEGER) {
    available->QuadPart = FakeFreeBytes;
    return TRUE;
}
int (*AnswerMessageBox)(const std::string& text) = nullptr;

int WINAPI RecordMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT) {
    ShownMessages.push_back(std::string(caption) + "|" + text);
    return AnswerMessageBox ? AnswerMessageBox(text) : IDOK;
}

namespace {

void (*g_dialogWork)(HWND) = nullptr;
DialogOutcome g_outcome;

std::string ControlText(HWND dialog, int id) {
    char text[1024] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

INT_PTR CALLBACK HostProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        PostMessageA(dialog, WM_APP, 0, 0);
        return TRUE;
    }
    if (message != WM_APP)
        return FALSE;
    g_dialogWork(dialog);
    DialogOutcome& o = g_outcome;
    o.info = ControlText(dialog, 1001);
    o.nextText = ControlText(dialog, 1);
    o.backEnabled = IsWindowEnabled(GetDlgItem(dialog, 4)) != 0;
    o.nextEnabled = IsWindowEnabled(GetDlgItem(dialog, 1)) != 0;
    o.cancelEnabled = IsWindowEnabled(GetDlgItem(dialog, 2)) != 0;
    // Ending a dialog hides it: a visible one is still open.
    if (IsWindowVisible(dialog))
        EndDialog(dialog, 99);
    return TRUE;
}

} // namespace

DialogOutcome RunInDialog(int templateId, void (*work)(HWND dialog)) {
    // The templates hold a progress bar, whose window class the common controls register.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    g_dialogWork = work;
    g_outcome = DialogOutcome();
    g_outcome.result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId),
                                       nullptr, HostProc, 0);
    return g_outcome;
}

namespace {

void RemoveTree(const std::string& path);

void RemoveInside(const std::string& path) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string full = path + "\\" + name;
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(full);
        else
            DeleteFileA(full.c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

void RemoveTree(const std::string& path) {
    RemoveInside(path);
    RemoveDirectoryA(path.c_str());
}

uint64_t Value(const FILETIME& t) {
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

} // namespace

ScratchFolder::ScratchFolder() {
    static unsigned serial = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[64];
    wsprintfA(name, "wt%u_%u", (unsigned)GetCurrentProcessId(), ++serial);
    path = std::string(temp) + name;
    RemoveTree(path);
    CreateDirectoryA(path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
    RemoveTree(path);
}

void ScratchFolder::RemoveContents(const std::string& folder) {
    RemoveInside(folder);
}

std::vector<std::string> ScratchFolder::NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name != "." && name != "..")
                names.push_back(name);
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int LoadPayload(const std::vector<uint8_t>& image) {
    static std::vector<uint8_t> held;
    CloseArchive();
    held = image;
    PayloadData = held.data();
    PayloadSize = (uint32_t)held.size();
    return UseArchiveIndex(OpenArchive());
}

std::string TemporaryFolder() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    return temp;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(h, nullptr));
    DWORD got = 0;
    if (!bytes.empty())
        ReadFile(h, bytes.data(), (DWORD)bytes.size(), &got, nullptr);
    bytes.resize(got);
    CloseHandle(h);
    return bytes;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD put = 0;
    if (!bytes.empty())
        WriteFile(h, bytes.data(), (DWORD)bytes.size(), &put, nullptr);
    CloseHandle(h);
}

FileTimes TimesOf(const std::string& path) {
    FileTimes t = {0, 0, 0};
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    FILETIME c, a, w;
    if (h != INVALID_HANDLE_VALUE && GetFileTime(h, &c, &a, &w))
        t = {Value(c), Value(a), Value(w)};
    CloseHandle(h);
    return t;
}

void SetWriteTime(const std::string& path, uint64_t time) {
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    FILETIME w = {(DWORD)time, (DWORD)(time >> 32)};
    SetFileTime(h, nullptr, nullptr, &w);
    CloseHandle(h);
}

namespace {

// The platform's own junctions are not available under every Wine: links are made on the
// host's side.
std::string UnixPath(const std::string& path) {
    typedef char*(CDECL * UnixNameFn)(LPCWSTR);
    UnixNameFn unixName = (UnixNameFn)(void*)GetProcAddress(GetModuleHandleA("KERNEL32.DLL"),
                                                            "wine_get_unix_file_name");
    if (!unixName)
        return std::string();
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
    char* name = unixName(wide);
    std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Waits up to five seconds for a path to appear or to go: a program of the host started from
// here cannot be waited for.
bool Await(const std::string& path, bool present) {
    for (int i = 0; i < 100; ++i) {
        if ((GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present)
            return true;
        Sleep(50);
    }
    return false;
}

// Runs a program of the host (Wine starts those too).
bool RunHost(const char* program, std::string commandLine) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

} // namespace

bool MakeLink(const std::string& path, const std::string& target) {
    const std::string to = UnixPath(target), at = UnixPath(path);
    return !to.empty() && !at.empty() &&
           RunHost("Z:\\bin\\ln", "/bin/ln -s \"" + to + "\" \"" + at + "\"") && Await(path, true);
}

bool RemoveLink(const std::string& path) {
    return RunHost("Z:\\bin\\rm", "/bin/rm -f \"" + UnixPath(path) + "\"") && Await(path, false);
}

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

void WriteText(const std::string& path, const std::string& text, uint64_t writeTime) {
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    if (writeTime)
        SetWriteTime(path, writeTime);
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The value's name is the one every earlier updater kept its journal under.
const char kJournalValue[] = "UpdateJournal";

bool JournalKept(const std::string& keyPath) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key))
        return false;
    const bool kept = RegQueryValueExA(key, kJournalValue, nullptr, nullptr, nullptr, nullptr) == 0;
    RegCloseKey(key);
    return kept;
}

void ForgetJournal(const std::string& keyPath) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, &key))
        return;
    RegDeleteValueA(key, kJournalValue);
    RegCloseKey(key);
}

std::string DiscFolder(char letter) {
    const char* prefix = getenv("WINEPREFIX");
    return prefix ? WindowsPath(std::string(prefix) + "-cdrom-" + letter) : std::string();
}

void UpdateRunFixture::SetUp() {
    ShownMessages.clear();
    AnswerMessageBox = nullptr;
    CreateDirectoryA(install.c_str(), nullptr);
    CreateDirectoryA(data.c_str(), nullptr);
    strcpy(InstallRecord.InstPath, install.c_str());
    const std::string key = std::string("Software\\QvTests\\") +
                            ::testing::UnitTest::GetInstance()->current_test_suite()->name();
    strcpy(InstallRecord.KeyPath, key.c_str());
    strcpy(InstallRecord.DataPath, data.c_str());
    InstalledMode = 1;
    memset(&UpdaterConfig, 0, sizeof UpdaterConfig);
    ModeWord = "アップデート";
    RequiredKeys = 0;
    strcpy(UpdateIniPath, folder.File("UPDATE.INI").c_str());
}

void UpdateRunFixture::TearDown() {
    CloseArchive();
}

DialogOutcome UpdateRunFixture::Run(const std::string& section) {
    WriteText(UpdateIniPath, "[UPDATE]\r\n" + section);
    return RunInDialog(100, RunUpdate);
}

void GatedFolderTest::SetUp() {
    ShownMessages.clear();
    ASSERT_EQ(1, GateHoldBase(folder.path.c_str(), 0));
}

void GatedFolderTest::TearDown() {
    GateReleaseRun();
    CloseArchive();
}
