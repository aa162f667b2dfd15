// The whole update run (check, stage, commit) of a 200 MB patch of 16 files, against writing the
// same decoded bytes plainly, in one process under Wine; and the run's peak memory against the
// payload plus twice its largest entry. Two steps, so that making the payload does not count in
// the peak: run_bench make DIR, then run_bench run DIR RESULTS.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/platform_ops.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "payload/archive_writer.h"
#include "update/update_run.h"

#include <commctrl.h>

namespace {

const int kFiles = 16;
const size_t kFileSize = 200u * 1000 * 1000 / kFiles;
const uint64_t kTime = 0x01D9000000000000ull;

std::string Name(int i) {
    char name[16];
    wsprintfA(name, "F%02d.DAT", i);
    return name;
}

// Half the files read like game text or tables, half like already-compressed media.
std::vector<uint8_t> Content(int i) {
    std::vector<uint8_t> bytes(kFileSize);
    uint32_t x = 0x9E3779B9u * (uint32_t)(i + 1);
    static const char* words[] = {"attack ", "defend ",     "potion ",    "dragon ",
                                  "castle ", "%d gold\r\n", "<scene id=", "\"/>\r\n"};
    for (size_t p = 0; p < bytes.size();) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        if (i % 2) {
            bytes[p++] = (uint8_t)x;
            continue;
        }
        const char* w = words[x % 8];
        for (; *w && p < bytes.size(); ++w)
            bytes[p++] = (uint8_t)(*w ^ ((x >> 8) % 3 == 0 ? (x >> 16) & 1 : 0));
    }
    return bytes;
}

bool WriteFileBytes(const std::string& path, const void* data, size_t size) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = h != INVALID_HANDLE_VALUE &&
                    WriteFile(h, data, (DWORD)size, &written, nullptr) && written == size;
    CloseHandle(h);
    return ok;
}

int Make(const std::string& dir) {
    std::vector<std::vector<uint8_t>> contents;
    std::vector<ArchiveInput> inputs;
    std::string ini = "[SETUP]\r\n[UPDATE]\r\n";
    for (int i = 0; i < kFiles; ++i) {
        contents.push_back(Content(i));
        char line[64];
        wsprintfA(line, "UpdateFile%02d=%s\r\n", i, Name(i).c_str());
        ini += line;
    }
    inputs.push_back({"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), kTime, true, true});
    for (int i = 0; i < kFiles; ++i)
        inputs.push_back({Name(i), contents[i].data(), contents[i].size(), kTime, true, true});
    ArchiveOptions options = {kIndexCompressed | kIndexScrambled, kCompressFast, true};
    options.integrity = true;
    std::vector<uint8_t> image;
    std::string error;
    if (!BuildArchiveWith(inputs, options, &image, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return WriteFileBytes(dir + "\\payload.qv2", image.data(), image.size()) ? 0 : 1;
}

double Now() {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return (double)t.QuadPart / (double)f.QuadPart;
}

SIZE_T PeakCommit() {
    PROCESS_MEMORY_COUNTERS c = {};
    c.cb = sizeof c;
    GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c);
    return c.PeakPagefileUsage;
}

std::string Game;

void LayOldGame() {
    CreateDirectoryA(Game.c_str(), nullptr);
    for (int i = 0; i < kFiles; ++i)
        WriteFileBytes(Game + "\\" + Name(i), "old", 3);
}

// What the patch writes, written plainly: each entry decoded and written to its file, with or
// without flushing it to the disk.
void Plain(bool flush) {
    for (int i = 0; i < kFiles; ++i) {
        uint32_t offset;
        const uint8_t* rec = FindEntryRecord(Name(i).c_str(), &offset);
        const uint8_t* bytes;
        uint8_t* block;
        DecodeEntry(rec, PayloadData + offset, AllocFixed, FreeFixed, &bytes, &block);
        HANDLE h = CreateFileA((Game + "\\" + Name(i)).c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written;
        WriteFile(h, bytes, EntryDecodedSize(rec), &written, nullptr);
        if (flush)
            FlushFileBuffers(h);
        CloseHandle(h);
        FreeFixed(block);
    }
}

INT_PTR RunResult = 0;

INT_PTR CALLBACK Host(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        PostMessageA(dialog, WM_APP, 0, 0);
        return TRUE;
    }
    if (message == WM_APP) {
        RunUpdate(dialog);
        char next[32] = "";
        GetDlgItemTextA(dialog, 1, next, sizeof next);
        RunResult = !strcmp(next, "完了") ? 1 : 0;
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

int WINAPI Say(HWND, LPCSTR text, LPCSTR, UINT) {
    fprintf(stderr, "message: %s\n", text);
    return IDOK;
}

void WholeRun() {
    RunResult = 0;
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(100), nullptr, Host, 0);
}

int Run(const std::string& dir, const char* results) {
    const SIZE_T baseline = PeakCommit();
    HANDLE h = CreateFileA((dir + "\\payload.qv2").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    const DWORD size = GetFileSize(h, nullptr);
    uint8_t* payload = (uint8_t*)AllocFixed(size);
    DWORD got = 0;
    ReadFile(h, payload, size, &got, nullptr);
    CloseHandle(h);
    PayloadData = payload;
    PayloadSize = size;
    if (!BindPlatformOps() || !UseArchiveIndex(OpenArchive()) || !CheckPayloadIntegrity())
        return 1;
    DirectOps.MessageBoxA = Say;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    Game = dir + "\\game";
    strcpy(InstallRecord.InstPath, Game.c_str());
    strcpy(InstallRecord.DataPath, Game.c_str());
    strcpy(UpdateIniPath, (dir + "\\UPDATE.INI").c_str());
    uint32_t iniSize;
    const void* ini = FindEntryData("UPDATE.INI", &iniSize);
    WriteFileBytes(UpdateIniPath, ini, iniSize);
    ModeWord = "アップデート";
    RequiredKeys = 0;

    uint32_t largest = 0;
    for (int i = 0; i < kFiles; ++i) {
        uint32_t offset;
        const uint32_t s = EntryDecodedSize(FindEntryRecord(Name(i).c_str(), &offset));
        largest = s > largest ? s : largest;
    }
    double plain = 1e9, flushed = 1e9, run = 1e9;
    for (int round = 0; round < 3; ++round) {
        LayOldGame();
        double t = Now();
        Plain(false);
        plain = std::min(plain, Now() - t);
        LayOldGame();
        t = Now();
        Plain(true);
        flushed = std::min(flushed, Now() - t);
        LayOldGame();
        t = Now();
        WholeRun();
        run = std::min(run, Now() - t);
        if (!RunResult)
            return 1;
    }
    const double peak = (double)(PeakCommit() - baseline);
    const double bound = (double)size + 2.0 * largest;
    FILE* out = fopen(results, "a");
    if (!out)
        return 1;
    for (FILE* f : {stdout, out}) {
        fprintf(f, "update run, %d files, %.0f MB decoded, payload %.0f MB\n", kFiles,
                kFiles * (double)kFileSize / 1e6, size / 1e6);
        fprintf(f, "  plain write %.3f s, plain write + flush %.3f s, whole run %.3f s\n", plain,
                flushed, run);
        fprintf(f,
                "whole run / plain write (time)                         %.3f  target <= 1.3 %s\n",
                run / plain, run / plain <= 1.3 ? "met" : "NOT MET");
        fprintf(f, "whole run / plain write + flush (time)                 %.3f\n", run / flushed);
        fprintf(f,
                "run peak memory / (payload + 2 x largest)              %.3f  target <= 1.0 %s\n",
                peak / bound, peak <= bound ? "met" : "NOT MET");
    }
    fclose(out);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && !strcmp(argv[1], "make"))
        return Make(argv[2]);
    if (argc >= 4 && !strcmp(argv[1], "run"))
        return Run(argv[2], argv[3]);
    fprintf(stderr, "usage: run_bench make DIR | run_bench run DIR RESULTS\n");
    return 2;
}
