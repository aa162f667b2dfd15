// The embedding seen from Windows: the loader must find what build wrote, the program must
// still start and read its payload, and mkupdate must take file names outside CP932.
#include <windows.h>

#include <imagehlp.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "archive/payload_large.h"
#include "mkupdate/build.h"
#include "mkupdate/host_files.h"
#include "mkupdate/index_memory.h"
#include "payload/archive_writer.h"
#include "pe/resource_section.h"

// Set by main from the command line: the updater as built, and mkupdate.exe.
extern std::string BuiltUpdater;
extern std::string BuiltMkupdate;
// A payload the Linux build packed with a delta (see DeltasAreMadeAndApplied).
extern std::string DeltaFixture;

namespace {

struct Scratch {
    std::string path;
    Scratch() {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        path = std::string(temp) + "mkupdate-win-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(path.c_str(), nullptr);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

std::vector<uint8_t> Payload(const std::string& ini, size_t bulk) {
    std::vector<uint8_t> data(bulk);
    for (size_t i = 0; i < bulk; ++i)
        data[i] = (uint8_t)(i * 13 + i / 1000);
    std::vector<ArchiveInput> entries = {
        {"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), 0x01D9000000000000ull, true, true},
        {"GAME.DAT", data.data(), data.size(), 0x01D9000000000000ull, true, true},
    };
    std::vector<uint8_t> image;
    std::string error;
    BuildArchiveWith(entries, ArchiveOptions{3, kCompressFast, true}, &image, &error);
    return image;
}

// The bytes of a resource of the module, or "(missing)".
std::string ResourceBytes(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
    HRSRC found = FindResourceExA(module, type, name, language);
    if (!found)
        return "(missing)";
    HGLOBAL loaded = LoadResource(module, found);
    const char* bytes = loaded ? (const char*)LockResource(loaded) : nullptr;
    return bytes ? std::string(bytes, SizeofResource(module, found)) : "(unloadable)";
}

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

TEST(MkupdateOnWindows, TheUpdaterDeclaresThePayloadFeaturesItReads) {
    std::vector<uint8_t> image;
    std::vector<Resource> resources;
    std::string error;
    ASSERT_EQ(1, ReadHostFile(std::filesystem::u8path(BuiltUpdater), &image, &error)) << error;
    ASSERT_EQ(1, ReadPeResources(image, true, &resources, &error)) << error;
    uint32_t features = 0;
    ASSERT_EQ(1, StubPayloadFeatures(resources, &features, &error)) << error;
    EXPECT_EQ(kKnownPayloadFeatures, features);

    // build takes a payload that requires integrity with this stub; one with deltas (as the
    // Linux build packs it) only when the stub applies them, and otherwise the refusal says why.
    Scratch s;
    const std::string ini = "[SETUP]\r\n";
    ArchiveOptions options{3, kCompressFast, true};
    options.integrity = true;
    options.requiredFeatures = PAYLOAD_FEATURE_INTEGRITY;
    std::vector<uint8_t> integrity, deltas;
    ASSERT_EQ(
        1, BuildArchiveWith({{"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), 0, true, true}},
                            options, &integrity, &error))
        << error;
    ASSERT_EQ(1, ReadHostFile(std::filesystem::u8path(DeltaFixture), &deltas, &error)) << error;
    uint32_t required = 0;
    ASSERT_EQ(1, PayloadRequiredFeatures(deltas, &required, &error)) << error;
    ASSERT_EQ((uint32_t)PAYLOAD_FEATURE_DELTAS, required);
    for (const std::vector<uint8_t>* payload : {&integrity, &deltas}) {
        ASSERT_EQ(1, PayloadRequiredFeatures(*payload, &required, &error)) << error;
        const std::string exe = s.path + "\\F" + std::to_string(required) + ".exe";
        const bool known = (required & ~kKnownPayloadFeatures) == 0;
        EXPECT_EQ(known ? 1 : 0, EmbedPayload(std::filesystem::u8path(BuiltUpdater), *payload,
                                              std::filesystem::u8path(exe), &error))
            << required << ": " << error;
        EXPECT_EQ(known, std::filesystem::exists(exe)) << required;
        if (!known) {
            EXPECT_NE(std::string::npos, error.find("the payload carries deltas")) << error;
        }
    }
}

TEST(MkupdateOnWindows, TheLoaderFindsTheEmbeddedPayload) {
    Scratch s;
    const std::string exe = s.path + "\\UPDATE.exe";
    const std::vector<uint8_t> payload = Payload("[SETUP]\r\n", 300000);
    std::string error;
    ASSERT_EQ(1, EmbedPayload(std::filesystem::u8path(BuiltUpdater), payload,
                              std::filesystem::u8path(exe), &error))
        << error;

    HMODULE built = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HMODULE stub = LoadLibraryExA(BuiltUpdater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(built && stub);
    // What the updater's own lookup asks for: type "UPDATE", id 102, whatever the language.
    HRSRC found = FindResourceA(built, MAKEINTRESOURCEA(102), "UPDATE");
    ASSERT_TRUE(found);
    HGLOBAL loaded = LoadResource(built, found);
    ASSERT_TRUE(loaded);
    const uint8_t* bytes = (const uint8_t*)LockResource(loaded);
    ASSERT_EQ(payload.size(), SizeofResource(built, found));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), bytes));
    // The stub's other resources are all still there, byte for byte.
    const struct {
        LPCSTR type, name;
    } kept[] = {{RT_DIALOG, MAKEINTRESOURCEA(100)},
                {RT_DIALOG, MAKEINTRESOURCEA(101)},
                {RT_MANIFEST, MAKEINTRESOURCEA(1)},
                {RT_VERSION, MAKEINTRESOURCEA(1)}};
    for (const auto& k : kept) {
        const std::string before = ResourceBytes(stub, k.type, k.name, kJapanese);
        EXPECT_NE("(missing)", before) << (uintptr_t)k.type << "/" << (uintptr_t)k.name;
        EXPECT_EQ(before, ResourceBytes(built, k.type, k.name, kJapanese))
            << (uintptr_t)k.type << "/" << (uintptr_t)k.name;
    }
    FreeLibrary(built);
    FreeLibrary(stub);

    DWORD header = 0, computed = 0;
    ASSERT_EQ((DWORD)CHECKSUM_SUCCESS,
              MapFileAndCheckSumA(const_cast<char*>(exe.c_str()), &header, &computed));
    EXPECT_EQ(computed, header);
    // Mapped as an image, the headers' sizes must hold together.
    HMODULE image = LoadLibraryExA(exe.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    EXPECT_TRUE(image) << GetLastError();
    if (image)
        FreeLibrary(image);
}

// Starts the program, answers its first message box with OK and gives back the box's text.
std::string FirstMessageOf(const std::string& exe, DWORD* exitCode) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string commandLine = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return "(not started)";
    struct Search {
        DWORD pid;
        HWND box;
    } search = {pi.dwProcessId, nullptr};
    std::string text = "(no window)";
    for (int tries = 0; tries < 300 && !search.box; ++tries) {
        if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0)
            break;
        EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                Search* s = (Search*)p;
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == s->pid && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF)) {
                    s->box = w;
                    return FALSE;
                }
                return TRUE;
            },
            (LPARAM)&search);
    }
    if (search.box) {
        char buffer[1024] = "";
        GetDlgItemTextA(search.box, 0xFFFF, buffer, sizeof buffer);
        text = buffer;
        PostMessageA(search.box, WM_COMMAND, IDOK, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 0xDEAD);
    GetExitCodeProcess(pi.hProcess, exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return text;
}

TEST(MkupdateOnWindows, TheBuiltUpdaterStartsOnItsPayload) {
    // A game that is not installed: the updater gets as far as reading UPDATE.INI from the
    // payload and says so with the title it read there.
    Scratch s;
    const std::string exe = s.path + "\\UPDATE.exe";
    const std::string ini = "[SETUP]\r\nCompanyName=MkupdateEmbedTest\r\nGameTitle=EmbedTitle\r\n"
                            "GameClass=EmbedClass\r\nGameDir=EmbedDir\r\n";
    std::string error;
    ASSERT_EQ(1, EmbedPayload(std::filesystem::u8path(BuiltUpdater), Payload(ini, 1000),
                              std::filesystem::u8path(exe), &error))
        << error;
    DWORD exitCode = 99;
    EXPECT_EQ("「EmbedTitle」がインストールされていません", FirstMessageOf(exe, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

// Runs a command line; with an output handle, inheritable, standard output and error go there,
// else the program has no console.
DWORD RunWide(std::wstring commandLine, HANDLE output = nullptr) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = output;
        si.hStdError = output;
    }
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, output != nullptr,
                        output ? 0 : CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return 0xFFFFFFFF;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

void WriteBytes(const std::wstring& file, const std::string& bytes) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written = 0;
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(h);
}

// Shared with writers: the finished program's handle may close a moment after it ends.
std::string ReadText(const std::wstring& file) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (h != INVALID_HANDLE_VALUE && ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got)
        text.append(buffer, got);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return text;
}

// CTest's Unix paths as Wine shows them: on drive Z:.
std::string WindowsPath(std::string path) {
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return "Z:" + path;
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

TEST(MkupdateOnWindows, TakesFolderNamesOutsideTheAnsiCodePage) {
    // U+00FC has no CP932 form: through narrow arguments the folder could not be named.
    Scratch s;
    const std::wstring folder = Wide(s.path) + L"\\patch-\u00FC";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteBytes(folder + L"\\GAME.DAT", "data");
    const std::wstring out = folder + L"\\out-\u00FC.qv2";
    const std::wstring tool = L"\"" + Wide(BuiltMkupdate) + L"\"";
    EXPECT_EQ(0u, RunWide(tool + L" pack \"" + folder + L"\" -o \"" + out + L"\""));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(out.c_str()));
    EXPECT_EQ(0u, RunWide(tool + L" extract \"" + out + L"\" -d \"" + folder + L"\\x\""));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\x\\GAME.DAT").c_str()));
}

TEST(MkupdateOnWindows, WritesNeitherToDevicesNorOverFolders) {
    Scratch s;
    const std::wstring folder = Wide(s.path) + L"\\patch";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteBytes(folder + L"\\GAME.DAT", "data");
    const std::wstring tool = L"\"" + Wide(BuiltMkupdate) + L"\" pack \"" + folder + L"\" -o ";
    const std::wstring there = Wide(s.path) + L"\\there";
    ASSERT_TRUE(CreateDirectoryW(there.c_str(), nullptr));
    EXPECT_EQ(1u, RunWide(tool + L"NUL"));
    EXPECT_EQ(1u, RunWide(tool + L"\"" + folder + L"\\nul.qv2\""));
    EXPECT_EQ(1u, RunWide(tool + L"\"" + there + L"\""));
    const DWORD attributes = GetFileAttributesW(there.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    // A regular file is replaced, and nothing is left beside it.
    const std::wstring out = Wide(s.path) + L"\\p.qv2";
    EXPECT_EQ(0u, RunWide(tool + L"\"" + out + L"\""));
    EXPECT_EQ(0u, RunWide(tool + L"\"" + out + L"\""));
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((Wide(s.path) + L"\\.mkupdate-*").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

TEST(MkupdateOnWindows, JapaneseNamesShowRightOnAConsoleAndAsUtf8Elsewhere) {
    // 画像.BMP in CP932: 画 is 89 E6, 像 is 91 9C.
    Scratch s;
    const std::string data = "picture";
    const std::vector<ArchiveInput> entries = {
        {"UPDATE.INI", (const uint8_t*)data.data(), data.size(), 0x01D9000000000000ull, true, true},
        {"\x89\xE6\x91\x9C.BMP", (const uint8_t*)data.data(), data.size(), 0x01D9000000000000ull,
         true, true}};
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_EQ(1, BuildArchiveWith(entries, ArchiveOptions{3, kCompressFast, true}, &image, &error));
    const std::string payload = s.path + "\\p.qv2";
    ASSERT_EQ(1, WriteHostFile(std::filesystem::u8path(payload), image.data(), image.size(),
                               nullptr, &error))
        << error;
    const std::wstring command =
        L"\"" + Wide(BuiltMkupdate) + L"\" list \"" + Wide(payload) + L"\"";

    // Into a file: the UTF-8 bytes.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const std::string listing = s.path + "\\listing.txt";
    HANDLE file = CreateFileA(listing.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0u, RunWide(command, file));
    CloseHandle(file);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(1, ReadHostFile(std::filesystem::u8path(listing), &bytes, &error)) << error;
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, text.find("\xE7\x94\xBB\xE5\x83\x8F.BMP")) << text;

    // On a console of its own (code page 932 here): the characters themselves, read back from
    // the screen buffer.
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, console);
    EXPECT_EQ(0u, RunWide(command, console));
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info));
    std::wstring screen;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) {
        std::wstring line((size_t)info.dwSize.X, L' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(console, &line[0], (DWORD)line.size(), COORD{0, row}, &read);
        line.resize(read);
        screen += line + L"\n";
    }
    CloseHandle(console);
    FreeConsole();
    EXPECT_NE(std::wstring::npos, screen.find(L"\u753B\u50CF.BMP"))
        << "screen: " << Printable(std::filesystem::path(screen));
    EXPECT_NE(std::wstring::npos, screen.find(L"UPDATE.INI"))
        << "screen: " << Printable(std::filesystem::path(screen));
}

// Runs mkupdate with its output in a file of its own; the exit code, and the output in *text.
DWORD RunCapturing(const std::wstring& arguments, const std::wstring& folder, std::string* text) {
    static int runs = 0;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const std::wstring log = folder + L"\\output-" + std::to_wstring(++runs) + L".txt";
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0xFFFFFFFF;
    const DWORD code = RunWide(L"\"" + Wide(BuiltMkupdate) + L"\" " + arguments, file);
    CloseHandle(file);
    *text = ReadText(log);
    return code;
}

TEST(MkupdateOnWindows, DeltasAreMadeAndApplied) {
    // The base of the fixture's one delta, and the folder it was packed from:
    //   base: data\A.DAT = 3000 bytes, byte i = (7 i + i / 50) mod 256;
    //   patch: UPDATE.INI with UpdateFile00=u,data\A.DAT, and data\A.DAT = the base with
    //   bytes 1000 to 1019 made 'x';
    //   mkupdate pack patch -o deltas.qv2 --base base   (the Linux build)
    Scratch s;
    const std::wstring folder = Wide(s.path);
    std::string base(3000, '\0');
    for (size_t i = 0; i < base.size(); ++i)
        base[i] = (char)((i * 7 + i / 50) & 0xFF);
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\base").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\base\\data").c_str(), nullptr));
    // Found without regard to case, as the updater would find it.
    WriteBytes(folder + L"\\base\\data\\a.dat", base);
    const std::wstring fixture = L"\"" + Wide(DeltaFixture) + L"\"";
    std::string text;
    EXPECT_EQ(0u, RunCapturing(L"verify " + fixture + L" --base \"" + folder + L"\\base\"", folder,
                               &text));
    EXPECT_NE(std::string::npos, text.find("applied entry <QV2|DELTA|0> (delta of A.DAT)")) << text;
    EXPECT_EQ(0u, RunCapturing(L"list " + fixture, folder, &text));
    EXPECT_NE(std::string::npos, text.find("target A.DAT: 1 delta, no whole copy")) << text;

    // Another base: reported, not applied.
    base[5] ^= 1;
    WriteBytes(folder + L"\\base\\data\\a.dat", base);
    EXPECT_EQ(1u, RunCapturing(L"verify " + fixture + L" --base \"" + folder + L"\\base\"", folder,
                               &text));
    EXPECT_NE(std::string::npos, text.find("matches no delta of A.DAT")) << text;

    // Made here too: the fixture's patch packed again from the base it was made from gives the
    // Linux build's bytes.
    base[5] ^= 1;
    const std::wstring patch = folder + L"\\patch";
    ASSERT_TRUE(CreateDirectoryW(patch.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((patch + L"\\data").c_str(), nullptr));
    WriteBytes(folder + L"\\base\\data\\a.dat", base);
    WriteBytes(patch + L"\\UPDATE.INI", "[UPDATE]\r\nUpdateFile00=u,data\\A.DAT\r\n");
    std::string changed = base;
    for (size_t i = 1000; i < 1020; ++i)
        changed[i] = 'x';
    WriteBytes(patch + L"\\data\\A.DAT", changed);
    EXPECT_EQ(0u, RunCapturing(L"pack \"" + patch + L"\" -o \"" + folder +
                                   L"\\again.qv2\" --base \"" + folder + L"\\base\"",
                               folder, &text))
        << text;
    EXPECT_NE(std::string::npos, text.find("travels only as deltas")) << text;
    EXPECT_EQ(0u, RunCapturing(L"list \"" + folder + L"\\again.qv2\"", folder, &text));
    EXPECT_NE(std::string::npos, text.find("target A.DAT: 1 delta, no whole copy")) << text;

    // And applied to a copy of the base, in a folder of its own that goes again, and compared.
    const std::wstring expected = folder + L"\\expected";
    ASSERT_TRUE(CreateDirectoryW(expected.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((expected + L"\\data").c_str(), nullptr));
    WriteBytes(expected + L"\\data\\A.DAT", changed);
    const std::wstring verify = L"verify \"" + folder + L"\\again.qv2\" --base \"" + folder +
                                L"\\base\" --expect \"" + expected + L"\"";
    EXPECT_EQ(0u, RunCapturing(verify, folder, &text)) << text;
    EXPECT_NE(std::string::npos, text.find("the update turns it into")) << text;
    WriteBytes(expected + L"\\data\\A.DAT", base);
    EXPECT_EQ(1u, RunCapturing(verify, folder, &text)) << text;
    EXPECT_NE(std::string::npos,
              text.find("differs: data\\A.DAT: the same size, first differing at "
                        "byte 1000"))
        << text;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((std::wstring(temp) + L".mkupdate-*").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "a scratch folder left in the temporary folder";
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

// The Windows build sorts suffixes with a sorter of its own, the Linux build with a library: the
// same patch built by both, with deltas from the same older releases, is the same bytes. CTest
// names what the Linux build made: the sample patch over the sample releases, and the patch that
// diff made of three small releases.
TEST(MkupdateDeltasOnWindows, BuildGivesTheLinuxBuildsBytes) {
    const char* sample = getenv("QV_SAMPLE_DIR");
    const char* sampleBuilt = getenv("QV_LINUX_SAMPLE_UPDATER");
    const char* diff = getenv("QV_DIFF_RELEASES");
    ASSERT_TRUE(sample && sampleBuilt && diff) << "CTest names the Linux build's outputs";
    const std::string releases = WindowsPath(sample) + "\\sample-releases";
    const struct {
        std::string patch, bases[2], linux;
    } cases[] = {
        {WindowsPath(sample) + "\\sample-delta-patch",
         {releases + "\\0.90", releases + "\\1.00"},
         WindowsPath(sampleBuilt)},
        {WindowsPath(diff) + "\\patch",
         {WindowsPath(diff) + "\\0.9", WindowsPath(diff) + "\\1.0"},
         WindowsPath(diff) + "\\diff-update.exe"},
    };
    Scratch s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.patch);
        const std::wstring out = Wide(s.path) + L"\\built.exe";
        std::string text;
        EXPECT_EQ(0u,
                  RunCapturing(L"build \"" + Wide(c.patch) + L"\" --base \"" + Wide(c.bases[0]) +
                                   L"\" --base \"" + Wide(c.bases[1]) + L"\" -o \"" + out +
                                   L"\" --stub \"" + Wide(BuiltUpdater) + L"\"",
                               Wide(s.path), &text))
            << text;
        const std::string ours = ReadText(out), theirs = ReadText(Wide(c.linux));
        EXPECT_FALSE(theirs.empty());
        EXPECT_TRUE(ours == theirs)
            << ours.size() << " bytes here, " << theirs.size() << " from the Linux build";
    }
}

// The payload is mapped and the volumes read by position here as on Linux: an entry that runs
// through several volumes comes back whole, and a missing volume is named and nothing written.
TEST(MkupdateOnWindows, VolumesAreReadBesideThePayload) {
    Scratch s;
    // A folder of its own: the tests of this process share the scratch folder's name.
    const std::wstring folder = Wide(s.path) + L"\\volumes";
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\patch").c_str(), nullptr));
    // Bytes that do not compress, so that the payload needs several volumes.
    std::string bulk(300000, '\0');
    uint64_t x = 1;
    for (char& c : bulk)
        c = (char)((x = x * 6364136223846793005ull + 1442695040888963407ull) >> 56);
    WriteBytes(folder + L"\\patch\\BULK.DAT", bulk);
    WriteBytes(folder + L"\\patch\\UPDATE.INI", "[SETUP]\r\n");
    const std::wstring payload = L"\"" + folder + L"\\P.QV2\"";
    std::string text;
    ASSERT_EQ(0u, RunCapturing(L"pack \"" + folder + L"\\patch\" -o " + payload +
                                   L" --fast --volume-limit 64K",
                               folder, &text))
        << text;
    EXPECT_EQ(0u, RunCapturing(L"list " + payload, folder, &text));
    EXPECT_NE(std::string::npos, text.find("P.001..P.00")) << text;
    EXPECT_EQ(0u, RunCapturing(L"verify " + payload, folder, &text)) << text;
    EXPECT_EQ(0u,
              RunCapturing(L"extract " + payload + L" -d \"" + folder + L"\\x\"", folder, &text))
        << text;
    EXPECT_EQ(bulk, ReadText(folder + L"\\x\\BULK.DAT"));
    ASSERT_TRUE(DeleteFileW((folder + L"\\P.002").c_str()));
    EXPECT_EQ(1u, RunCapturing(L"verify " + payload, folder, &text));
    EXPECT_NE(std::string::npos, text.find("volume P.002 is missing")) << text;
    EXPECT_EQ(1u,
              RunCapturing(L"extract " + payload + L" -d \"" + folder + L"\\y\"", folder, &text));
    EXPECT_NE(std::string::npos, text.find("volume P.002 is missing")) << text;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\y").c_str()));
}

TEST(MkupdateOnWindows, SigningIsUnavailableHere) {
    // This build cannot run the signer: refused before anything is read or written, whether
    // the files named exist or not.
    Scratch s;
    const std::wstring folder = Wide(s.path);
    WriteBytes(folder + L"\\UPDATE.INI", "[SETUP]\r\n");
    const std::wstring out = folder + L"\\signed.exe";
    for (const wchar_t* how : {L" --sign c.pem --key k.pem", L" --pkcs12 p.pfx"}) {
        std::string text;
        EXPECT_EQ(1u, RunCapturing(L"build \"" + folder + L"\" -o \"" + out + L"\"" + how, folder,
                                   &text));
        EXPECT_NE(std::string::npos, text.find("signing is unavailable in this build of mkupdate"))
            << text;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(out.c_str()));
    }
}

} // namespace

namespace {

// A payload file's volumes: 1 when the record names them in order, each the size of the file
// beside it and within limit (their digests are checked natively).
int VolumesMatch(const std::wstring& folder, const std::vector<uint8_t>& image, uint64_t limit,
                 size_t* count) {
    uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), AllocBlock, FreeBlock);
    uint32_t at = 0;
    const uint8_t* rec = index ? FindIntegrityEntry(index, image.data(), &at) : nullptr;
    IntegrityRecord record;
    int ok = rec && CheckIndexIntegrity(index, image.data() + at, EntryDecodedSize(rec), &record,
                                        ~0u) == kIntegrityIntact;
    *count = ok ? record.volumeCount : 0;
    for (uint32_t v = 0; ok && v < record.volumeCount; ++v) {
        PayloadVolume pv;
        ReadPayloadVolume(record.volumes, v, &pv);
        char expected[16];
        snprintf(expected, sizeof expected, "P.%03u", (unsigned)(v + 1) % 1000);
        std::error_code ec;
        ok = strcmp(pv.name, expected) == 0 && pv.size <= limit &&
             std::filesystem::file_size(folder + L"\\" + Wide(pv.name), ec) == pv.size;
    }
    free(index);
    return ok;
}

} // namespace

TEST(MkupdateOnWindows, WritesVolumesBesideThePayloadAndRemovesStaleOnes) {
    Scratch s;
    const std::wstring folder = Wide(s.path);
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\patch").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\out").c_str(), nullptr));
    WriteBytes(folder + L"\\patch\\UPDATE.INI", "[SETUP]\r\n");
    // Random bytes, which do not compress: a few volumes of 1 MiB.
    std::string big((17u << 20) + 5, '\0');
    uint32_t x = 1;
    for (size_t i = 0; i < big.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        big[i] = (char)x;
    }
    WriteBytes(folder + L"\\patch\\BIG.DAT", big);
    WriteBytes(folder + L"\\out\\p.099", "stale");
    const std::wstring pack =
        L"pack \"" + folder + L"\\patch\" -o \"" + folder + L"\\out\\P.qv2\" --fast";
    std::string text;
    ASSERT_EQ(0u, RunCapturing(pack + L" --volume-limit 1M", folder, &text)) << text;
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_EQ(1, ReadHostFile(folder + L"\\out\\P.qv2", &image, &error)) << error;
    size_t count = 0;
    EXPECT_EQ(1, VolumesMatch(folder + L"\\out", image, 1u << 20, &count));
    EXPECT_LE(17u, count);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\out\\p.099").c_str()));

    // Fitting the default limit, the payload is one file again and the volumes are gone.
    ASSERT_EQ(0u, RunCapturing(pack, folder, &text)) << text;
    ASSERT_EQ(1, ReadHostFile(folder + L"\\out\\P.qv2", &image, &error)) << error;
    EXPECT_EQ(1, VolumesMatch(folder + L"\\out", image, 1u << 20, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\out\\P.001").c_str()));
}

// diff and build --from/--to work in a folder of their own beside the output, with only the
// user's rights: nothing of it is left, whether they succeed or refuse.
TEST(MkupdateOnWindows, TemporaryFoldersBesideTheOutputAreNeverLeft) {
    Scratch s;
    const std::wstring folder = Wide(s.path);
    const std::string setup = "[SETUP]\r\nCompanyName=M\r\nGameTitle=G\r\nGameDir=D\r\n"
                              "GameClass=W\r\nGameExe=game.exe\r\n";
    for (const wchar_t* release : {L"\\old", L"\\new"}) {
        ASSERT_TRUE(CreateDirectoryW((folder + release).c_str(), nullptr));
        WriteBytes(folder + release + L"\\SETUP.INI", setup);
        WriteBytes(folder + release + L"\\game.exe", release[1] == L'o' ? "v1" : "v2");
    }
    const std::wstring releases = L"--from \"" + folder + L"\\old\" --to \"" + folder + L"\\new\"";
    const std::wstring stub = L" --stub \"" + Wide(BuiltUpdater) + L"\"";
    const struct {
        std::wstring arguments;
        DWORD status;
        const wchar_t* output;
    } runs[] = {
        {L"diff " + releases + L" -o \"" + folder + L"\\patch\"", 0, L"\\patch\\UPDATE.INI"},
        {L"build " + releases + L" -o \"" + folder + L"\\U.exe\"" + stub, 0, L"\\U.exe"},
        {L"diff --from \"" + folder + L"\\old\" --to \"" + folder + L"\\old\" -o \"" + folder +
             L"\\same\"",
         1, L"\\same"},
    };
    for (const auto& run : runs) {
        std::string text;
        EXPECT_EQ(run.status, RunCapturing(run.arguments, folder, &text)) << text;
        EXPECT_EQ(run.status == 0,
                  GetFileAttributesW((folder + run.output).c_str()) != INVALID_FILE_ATTRIBUTES)
            << text;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"\\.mkupdate-*").c_str(), &found);
        EXPECT_EQ(INVALID_HANDLE_VALUE, find) << text;
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
    }
}
