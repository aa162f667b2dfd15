// Another program of the same user, not elevated, can write the install and data folders, the
// temporary folder and the game's key under the current user, and can make links. Whatever it
// plants there, the next start of the elevated UPDATE.exe must change nothing outside the game
// and nothing in it that no run made: here it plants journals, links and folder values.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/sha256.h"
#include "e2e/e2e_fixture.h"
#include "update/journal_format.h"
#include "win/tree_snapshot.h"

namespace {

const std::string kKeyPath = std::string("Software\\") + kE2ECompany + "\\" + kE2EGameDir;
const char kRestoredText[] =
    "前回のアップデートが途中で終わっていたため、ゲームのファイルをアップデート前の状態に戻し"
    "ました。";

// A journal in the form earlier updaters read from the install folder.
struct OldAction {
    uint32_t kind, existed;
    uint64_t newSize;
    std::string target, staged, backup;
};
std::vector<uint8_t> OldJournal(const std::vector<OldAction>& actions) {
    std::vector<uint8_t> b;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back((uint8_t)(v >> (8 * i)));
    };
    auto u64 = [&](uint64_t v) {
        u32((uint32_t)v);
        u32((uint32_t)(v >> 32));
    };
    auto path = [&](const std::string& p) {
        b.push_back((uint8_t)p.size());
        b.push_back((uint8_t)(p.size() >> 8));
        b.insert(b.end(), p.begin(), p.end());
    };
    for (char c : std::string("QVJ1"))
        b.push_back((uint8_t)c);
    u32(1);
    u32((uint32_t)actions.size());
    for (const OldAction& a : actions) {
        u32(a.kind);
        u32(a.existed);
        u32(FILE_ATTRIBUTE_ARCHIVE);
        u64(0);
        u64(0);
        u64(a.newSize);
        path(a.target);
        path(a.staged);
        path(a.backup);
    }
    b.resize(b.size() + 32);
    Sha256(b.data(), b.size() - 32, b.data() + b.size() - 32);
    return b;
}

// What a run of UPDATE.exe keeps, put where it keeps it: this stands for a run that died.
void KeepJournal(uint32_t state, const std::string& install, const std::string& data,
                 std::vector<JournalAction> actions) {
    JournalFolders f;
    f.state = state;
    strcpy(f.install, install.c_str());
    strcpy(f.data, data.c_str());
    std::vector<uint8_t> bytes(JournalSize(f, actions.data(), (uint32_t)actions.size()));
    WriteJournal(f, actions.data(), (uint32_t)actions.size(), bytes.data());
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    RegSetValueExA(key, "UpdateJournal", 0, REG_BINARY, bytes.data(), (DWORD)bytes.size());
    RegCloseKey(key);
}

JournalAction Replace(const std::string& target, const std::string& staged,
                      const std::string& backup) {
    JournalAction a = {};
    a.kind = kReplaceFile;
    a.existed = !backup.empty();
    strcpy(a.target, target.c_str());
    strcpy(a.staged, staged.c_str());
    strcpy(a.backup, backup.c_str());
    return a;
}

class SecurityTest : public UpdaterRunTest {
  protected:
    void SetUp() override {
        UpdaterRunTest::SetUp();
        victim = folder.File("victim");
        data = install + "\\data";
        ForgetJournal(kKeyPath);
    }
    void TearDown() override {
        ForgetJournal(kKeyPath);
        UpdaterRunTest::TearDown();
    }
    // The game and, outside it, what another program would like to see removed or replaced.
    void Lay() {
        ScratchFolder::RemoveContents(install);
        WriteText(InstallFile("SETUP.INI"), InstalledSetupIni(), 0x01D0000000000000ull);
        CreateDirectoryA(data.c_str(), nullptr);
        CreateDirectoryA(InstallFile("sys").c_str(), nullptr);
        WriteText(InstallFile("a.dat"), "old a", 0x01D0000000000000ull);
        WriteText(InstallFile("sys\\c.dat"), "old c", 0x01D0000000000000ull);
        WriteText(InstallFile("game.exe"), "the game", 0x01D0000000000000ull);
        WriteText(data + "\\save.dat", "player's save", 0x01D0000000000000ull);
        CreateDirectoryA(victim.c_str(), nullptr);
        ScratchFolder::RemoveContents(victim);
        WriteText(victim + "\\f.ini", "system settings");
        WriteText(victim + "\\c.dat", "old c", 0x01D0000000000000ull);
        WriteText(victim + "\\ro.txt", "read-only");
        SetFileAttributesA((victim + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        CreateDirectoryA((victim + "\\tree").c_str(), nullptr);
        WriteText(victim + "\\tree\\leaf.txt", "leaf");
    }
    TreeSnapshot Both() { return TakeSnapshot({{"game", install}, {"victim", victim}}); }
    std::vector<PayloadFile> Patch() {
        return {{"UPDATE.INI", UpdateIniSetup() + "[UPDATE]\r\n"
                                                  "UpdateFile00=a.dat\r\n"
                                                  "UpdateFile01=b.dat\r\n"
                                                  "UpdateFile02=u,sys\\c.dat\r\n"},
                {"a.dat", "patched a"},
                {"b.dat", std::string(100000, 'b')},
                {"c.dat", "patched c"}};
    }
    // Ends the crash-test copy at its k-th change and starts the plain one; 1 when the next
    // start said it restored the game.
    bool CrashAndRestart(const std::string& crashExe, const std::string& plainExe, int k) {
        SetEnvironmentVariableA("QV_CRASH_AT", std::to_string(k).c_str());
        Transcript killed = RunAndAnswer(crashExe, {"click:1", "click:1"}, ShotName("-killed"));
        SetEnvironmentVariableA("QV_CRASH_AT", nullptr);
        RemoveLeftoverRunFolders();
        EXPECT_EQ(99u, killed.exitCode) << "step " << k << ": " << killed.Text();
        Transcript next = RunAndAnswer(plainExe, {"OK", "click:2", "OK"}, ShotName("-next"));
        const std::vector<std::string> boxes = Boxes(next);
        return !boxes.empty() && boxes[0].find(kRestoredText) != std::string::npos;
    }

    std::string victim, data;
};

// Journals planted in the install folder under the names earlier updaters read, with the path
// forms that led their recovery astray: none is read, nothing changes.
TEST_F(SecurityTest, PlantedJournalsAreNeverObeyed) {
    const std::string windows = "C:\\windows";
    const std::string systemFile = windows + "\\qvtest-victim.ini";
    struct Row {
        const char* what;
        const char* name;
        std::vector<OldAction> actions;
        std::string dataPath; // empty: the fixture's
    };
    const std::string up = "/../../victim\\";
    const std::vector<Row> rows = {
        {"paths that climb out with a slash",
         "UPDATEOK.JNL",
         {{kStagingFolder, 0, 0, install + "\\~qv" + up + "tree", "", ""},
          {kReplaceFile, 1, 0, InstallFile("a.dat"), InstallFile("~qv1.new"),
           install + "\\~qv" + up + "ro.txt"}},
         ""},
        {"the planter's file put onto a file outside",
         "UPDATE.JNL",
         {{kReplaceFile, 1, 15, install + "\\x" + up + "f.ini", InstallFile("~qv2.new"),
           InstallFile("~qvplant.old")}},
         ""},
        {"files no run made taken for new ones by their size",
         "UPDATE.JNL",
         {{kReplaceFile, 0, 8, InstallFile("game.exe"), InstallFile("~qv3.new"), ""},
          {kReplaceFile, 0, 13, data + "\\save.dat", InstallFile("~qv4.new"), ""}},
         ""},
        {"the data folder pointed at the Windows folder",
         "UPDATE.JNL",
         {{kReplaceFile, 1, 15, systemFile, InstallFile("~qv5.new"), InstallFile("~qvplant.old")}},
         windows},
    };
    for (const Row& row : rows) {
        Lay();
        WriteText(InstallFile("~qvplant.old"), "planter's bytes");
        WriteText(systemFile, "system settings");
        WriteBytes(InstallFile(row.name), OldJournal(row.actions));
        if (!row.dataPath.empty()) {
            key.dataPath = row.dataPath;
            WriteInstallKey(key);
        }
        const TreeSnapshot before = Both();
        Transcript t = Run(Patch(), {"Cancel", "OK"});
        const std::vector<std::string> differences = CompareSnapshots(before, Both());
        EXPECT_TRUE(differences.empty()) << row.what << ": " << differences[0];
        EXPECT_EQ("system settings", ReadText(systemFile)) << row.what;
        const std::vector<std::string> boxes = Boxes(t);
        ASSERT_FALSE(boxes.empty()) << row.what;
        // A data folder no item has used yet stops nothing.
        EXPECT_EQ(std::string(kE2ECaption) + "|アップデートが中断されました", boxes.back())
            << row.what << ": the dialog came as always\n"
            << t.Text();
        if (!row.dataPath.empty()) {
            key.dataPath = data;
            WriteInstallKey(key);
        }
        DeleteFileA(systemFile.c_str());
    }
}

JournalAction Act(uint32_t kind, const std::string& target, const std::string& backup = "") {
    JournalAction a = Replace(target, "", backup);
    a.kind = kind;
    a.existed = kind == kDeleteFile;
    return a;
}

// Journals of a file traded for a folder and back, whose names are not the run's own: a file
// staged beside a file no earlier action deletes, a file moved aside beside a folder no later
// action removes, a folder removed outside the game. Refused whole, nothing made or moved.
TEST_F(SecurityTest, TradeNamesNoRunWouldRecordAreRefused) {
    const std::string staged = InstallFile("~qv00000001.new");
    const std::string aside = InstallFile("~qv00000002.old");
    const struct Row {
        const char* what;
        std::vector<JournalAction> actions;
    } rows[] = {
        {"staged beside a folder no deletion names",
         {Replace(InstallFile("sys\\n.dat"), staged, "")}},
        {"staged beside a file deleted only later",
         {Replace(InstallFile("sys\\n.dat"), staged, ""),
          Act(kDeleteFile, InstallFile("sys"), aside)}},
        {"moved aside beside a folder no removal names",
         {Act(kDeleteFile, InstallFile("sys\\c.dat"), aside)}},
        {"moved aside beside a folder removed before",
         {Act(kRemoveFolder, InstallFile("sys")),
          Act(kDeleteFile, InstallFile("sys\\c.dat"), aside)}},
        {"a folder removed outside the game", {Act(kRemoveFolder, victim + "\\made")}},
    };
    for (const Row& row : rows) {
        Lay();
        WriteText(staged, "planter's bytes");
        WriteText(aside, "planter's bytes");
        KeepJournal(kJournalInForce, install, data, row.actions);
        const TreeSnapshot before = Both();
        Transcript t = Run(Patch(), {"OK", "click:2", "OK"});
        const std::vector<std::string> differences = CompareSnapshots(before, Both());
        EXPECT_TRUE(differences.empty()) << row.what << ": " << differences[0];
        const std::vector<std::string> boxes = Boxes(t);
        ASSERT_FALSE(boxes.empty()) << row.what;
        EXPECT_NE(std::string::npos, boxes[0].find("一致しないため"))
            << row.what << ": " << t.Text();
        EXPECT_FALSE(JournalKept(kKeyPath)) << row.what;
        ForgetJournal(kKeyPath);
    }
}

// Links another program made where a run's names are, or on the way to them: removed as links
// or refused, never followed.
TEST_F(SecurityTest, LinksAreNeverFollowed) {
    // A committed journal whose staging folder and backup were replaced by links.
    Lay();
    const std::string staging = InstallFile("~qv0000000a.dir");
    const std::string backup = InstallFile("~qv0000000c.old");
    JournalAction folderAction = {};
    folderAction.kind = kStagingFolder;
    strcpy(folderAction.target, staging.c_str());
    KeepJournal(
        kJournalCommitted, install, data,
        {folderAction, Replace(InstallFile("a.dat"), InstallFile("~qv0000000b.new"), backup)});
    ASSERT_TRUE(MakeLink(staging, victim + "\\tree"));
    ASSERT_TRUE(MakeLink(backup, victim + "\\ro.txt"));
    TreeSnapshot before = TakeSnapshot(victim);
    Transcript t = Run(Patch(), {"OK", "click:2", "OK"});
    std::vector<std::string> differences = CompareSnapshots(before, TakeSnapshot(victim));
    EXPECT_TRUE(differences.empty()) << "committed journal: " << differences[0];
    // Removed as links where the platform can remove a link itself; otherwise left, and the
    // journal refused, said once and kept aside.
    const bool linksGone = GetFileAttributesA(staging.c_str()) == INVALID_FILE_ATTRIBUTES &&
                           GetFileAttributesA(backup.c_str()) == INVALID_FILE_ATTRIBUTES;
    EXPECT_NE(linksGone, Boxes(t)[0].find("そのままにしました") != std::string::npos) << t.Text();
    EXPECT_FALSE(JournalKept(kKeyPath));
    EXPECT_EQ(std::string(kE2ECaption) + "|アップデートが中断されました", Boxes(t).back())
        << "the start went on as always";
    RemoveLink(staging);
    RemoveLink(backup);

    // A journal in force whose target folder was replaced by a link to a folder outside.
    Lay();
    const std::string sys = InstallFile("sys");
    ScratchFolder::RemoveContents(sys);
    RemoveDirectoryA(sys.c_str());
    ASSERT_TRUE(MakeLink(sys, victim));
    WriteText(victim + "\\~qv0000000e.old", "planter's bytes");
    KeepJournal(kJournalInForce, install, data,
                {Replace(sys + "\\c.dat", sys + "\\~qv0000000d.new", sys + "\\~qv0000000e.old")});
    before = TakeSnapshot(victim);
    t = Run(Patch(), {"OK"});
    differences = CompareSnapshots(before, TakeSnapshot(victim));
    EXPECT_TRUE(differences.empty()) << "link on the way: " << differences[0];
    const std::vector<std::string> boxes = Boxes(t);
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(std::string::npos, boxes[0].find("一致しないため")) << t.Text();
    EXPECT_FALSE(JournalKept(kKeyPath))
        << "a journal that cannot be acted on is kept aside, and stands in the way no more";
    ForgetJournal(kKeyPath);
    RemoveLink(sys);

    // Links at the names where earlier updaters wrote their journal: one leading to a file not
    // yet there, the others to files outside. A whole run writes, moves or removes nothing
    // through them.
    Lay();
    const std::vector<std::pair<std::string, std::string>> links = {
        {"UPDATENEW.JNL", "made.jnl"}, {"UPDATE.JNL", "f.ini"}, {"UPDATEOK.JNL", "c.dat"}};
    WriteText(victim + "\\made.jnl", "");
    for (const auto& [name, to] : links)
        ASSERT_TRUE(MakeLink(InstallFile(name), victim + "\\" + to));
    DeleteFileA((victim + "\\made.jnl").c_str());
    before = TakeSnapshot(victim);
    t = Run(Patch(), {"click:1", "click:1", "click:1"});
    EXPECT_EQ(1u, t.exitCode) << t.Text();
    EXPECT_EQ("patched a", ReadText(InstallFile("a.dat")));
    differences = CompareSnapshots(before, TakeSnapshot(victim));
    EXPECT_TRUE(differences.empty()) << "through a link at a journal's name: " << differences[0];
    for (const auto& [name, to] : links)
        RemoveLink(InstallFile(name));
}

// The install folder with a backslash at its end, or a drive root: a run that died is restored.
// The Windows folder, by name or through a link: refused before anything is written.
TEST_F(SecurityTest, FolderFormsAreSettledFirst) {
    if (CrashUpdater.empty())
        GTEST_SKIP() << "no crash-test copy of the updater given";
    const std::vector<uint8_t> payload = MakePayload(Patch());
    CreateDirectoryA((folder.path + "\\crash").c_str(), nullptr);
    CreateDirectoryA((folder.path + "\\plain").c_str(), nullptr);
    const std::string crashExe = MakeUpdater(folder.path + "\\crash", &payload, CrashUpdater);
    const std::string plainExe = MakeUpdater(folder.path + "\\plain", &payload);
    const std::string countFile = folder.File("count.txt");
    const std::string fixtureInstall = install;
    const std::string root = "G:\\";
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(root.c_str())) << "no drive G:";
    for (const std::string& form : {fixtureInstall + "\\", root}) {
        install = form == root ? "G:" : fixtureInstall;
        data = install + "\\data";
        key.instPath = form;
        key.dataPath = data;
        WriteInstallKey(key);
        Lay();
        const TreeSnapshot before = TakeSnapshot(install);
        SetEnvironmentVariableA("QV_CRASH_AT", "0");
        SetEnvironmentVariableA("QV_CRASH_COUNT", countFile.c_str());
        Transcript whole = RunAndAnswer(crashExe, {"click:1", "click:1", "click:1"}, ShotName());
        SetEnvironmentVariableA("QV_CRASH_COUNT", nullptr);
        ASSERT_EQ(1u, whole.exitCode) << form << "\n" << whole.Text();
        EXPECT_EQ("patched a", ReadText(InstallFile("a.dat")));
        const std::vector<uint8_t> countText = ReadBytes(countFile);
        const int steps = atoi(std::string(countText.begin(), countText.end()).c_str());
        Lay();
        EXPECT_TRUE(CrashAndRestart(crashExe, plainExe, steps / 2)) << form << " at " << steps / 2;
        const std::vector<std::string> differences =
            CompareSnapshots(before, TakeSnapshot(install));
        EXPECT_TRUE(differences.empty()) << form << ": " << differences[0];
        EXPECT_FALSE(JournalKept(kKeyPath)) << form;
        EXPECT_TRUE(RunLeftovers(install).empty()) << form;
        ScratchFolder::RemoveContents(install);
    }
    install = fixtureInstall;
    data = install + "\\data";

    const std::string inside = "C:\\windows\\qvtest-game";
    const std::string link = folder.File("to-windows");
    ASSERT_TRUE(MakeLink(link, "C:\\windows"));
    for (const std::string& form : {std::string("C:\\WINDOWS\\"), inside, link}) {
        key.instPath = form;
        WriteInstallKey(key);
        Transcript t = RunExe(plainExe, {"OK"});
        EXPECT_EQ(std::vector<std::string>(
                      {"UPDATE|「" + form +
                       "」は Windows のフォルダの中にあるため、アップデートできません"}),
                  Boxes(t))
            << t.Text();
    }
    RemoveLink(link);
}

} // namespace
