// The one name rule the updater and mkupdate share, and mkupdate's temporary folders: made new,
// the user's alone, never adopted, and gone when a signal ends the run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/path_form.h"
#include "mkupdate/pack.h"
#include "mkupdate/temp_output.h"
#include "mkupdate/update_ini.h"
#include "tools/tool_test_support.h"

namespace {

namespace fs = std::filesystem;

// CP932: ア is 83 41, ミ is 83 7E (its trail byte is a tilde), 表 is 95 5C.
TEST(NameRule, TheUpdaterAndMkupdateJudgeEveryNameAlike) {
    const struct {
        const char* name;
        NameForm form;
    } cases[] = {
        {"GAME.EXE", kNameExact},
        {"\x83\x41.DAT", kNameExact},
        {"\x95\x5C.DAT", kNameExact},
        {"\x83\x7E"
         "1.DAT",
         kNameExact}, // ミ1.DAT: no tilde of its own
        {"CONSOLE.DAT", kNameExact},
        {"LPT10", kNameExact},
        {"SAVE~1.DAT", kNameShortAlias},
        {"\x83\x41~1.DAT", kNameShortAlias}, // ア~1.DAT
        {"PROGRA~1", kNameShortAlias},
        {"CON.\x83\x41", kNameDevice}, // CON.ア
        {"nul.txt", kNameDevice},
        {"COM0.DAT", kNameDevice},
        {"aux .dat", kNameDevice},
        {"\x83\x41.", kNameTrailingDot},
        {"..", kNameTrailingDot},
        {"A B ", kNameTrailingDot},
        {"A:B", kNameForbiddenByte},
        {"A?\x83\x41", kNameForbiddenByte},
        {"TAB\t", kNameControlByte},
        {"\x83", kNameBrokenChar},
        {"", kNameEmpty},
    };
    for (const auto& c : cases) {
        const std::string name = c.name;
        EXPECT_EQ(c.form, CheckNameForm(name.data(), name.size(), Cp932CharStep)) << name;
        const std::string path = "C:\\game\\" + name;
        EXPECT_EQ(c.form == kNameExact, IsCanonicalPath(path.c_str(), Cp932CharStep) == 1) << name;
        EXPECT_EQ(c.form == kNameExact, WindowsNameProblem(name).empty())
            << name << ": " << WindowsNameProblem(name);
    }
}

int CountTemporaryFolders(const fs::path& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir))
        n += e.path().filename().string().rfind(".mkupdate-", 0) == 0;
    return n;
}

TEST(TemporaryFolders, AreNewTheUsersAloneAndNeverAdopted) {
    TempFolder t;
    // A folder another user made first at the name drawn: never taken, whatever it holds.
    const fs::path planted = t.path / ".mkupdate-0000000000000000.dir";
    fs::create_directories(planted);
    fs::permissions(planted, fs::perms::all);
    const SuffixSource same = [](std::string* s) {
        *s = "0000000000000000";
        return 1;
    };
    fs::path made;
    std::string error;
    EXPECT_EQ(0, MakeTemporaryFolder(t.path, &made, &error, same));
    EXPECT_NE(std::string::npos, error.find("was taken already")) << error;
    EXPECT_TRUE(made.empty());
    EXPECT_TRUE(fs::is_empty(planted));
    // Another name is drawn when the first is taken.
    int draws = 0;
    const SuffixSource second = [&draws](std::string* s) {
        *s = draws++ ? "1111111111111111" : "0000000000000000";
        return 1;
    };
    ASSERT_EQ(1, MakeTemporaryFolder(t.path, &made, &error, second)) << error;
    EXPECT_EQ(".mkupdate-1111111111111111.dir", made.filename().string());
    struct stat st;
    ASSERT_EQ(0, stat(made.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    // No random name at all is a failure, not a fixed one.
    EXPECT_EQ(0, MakeTemporaryFolder(t.path, &made, &error, [](std::string*) { return 0; }));
}

TEST(TemporaryFolders, ASignalRemovesThemBeforeTheProcessEnds) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        TempFolder t;
        const pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            RemoveOnSignal();
            OwnedFolder work;
            std::string error;
            if (!work.Make(t.path, &error))
                _exit(3);
            WriteFile(work.path() / "sub" / "part.dat", "half written");
            kill(getpid(), sig);
            for (;;)
                pause();
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig;
        EXPECT_EQ(0, CountTemporaryFolders(t.path)) << "signal " << sig;
    }
}

} // namespace
