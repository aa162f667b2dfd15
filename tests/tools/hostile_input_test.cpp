// mkupdate given what a careless or hostile publisher's machine may hold: special files and
// links where files are expected, names Windows cannot create, payloads made elsewhere.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "payload/archive_writer.h"
#include "tools/tool_test_support.h"

#ifndef FIXTURE_RSRC_LAST
#error the build passes the fixture paths
#endif

namespace {

namespace fs = std::filesystem;

const char kIni[] = "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\nGameClass=GameWnd\r\n"
                    "GameDir=GameDir\r\n[UPDATE]\r\nUpdateFile00=u,GAME.DAT\r\n";

void MakePatch(const fs::path& dir) {
    WriteFile(dir / "UPDATE.INI", kIni);
    WriteFile(dir / "GAME.DAT", std::string(3000, 'g') + "end");
}

mode_t Mode(const fs::path& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A payload with the names given, each holding a few bytes, written to file.
void WritePayload(const fs::path& file, const std::vector<std::string>& names) {
    static const std::string bytes = "entry bytes";
    std::vector<ArchiveInput> entries;
    for (const std::string& n : names)
        entries.push_back(ArchiveInput{n, (const uint8_t*)bytes.data(), bytes.size(),
                                       0x01D9000000000000ull, true, true});
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_EQ(1, BuildArchive(entries, kIndexCompressed | kIndexScrambled, &image, &error));
    WriteFile(file, std::string(image.begin(), image.end()));
}

TEST(MkupdateHostile, OutputsAreOnlyRegularFilesOrNewNames) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const std::string dir = (t.path / "patch").string();
    const fs::path victim = t.path / "victim";
    WriteFile(victim, "precious");

    // Each stands at the output name and must still stand there, untouched, afterwards.
    const fs::path fifo = t.path / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const fs::path link = t.path / "link";
    fs::create_symlink(victim, link);
    const fs::path folder = t.path / "folder";
    fs::create_directories(folder);
    const fs::path device = t.path / "null";
    const bool haveDevice = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    struct Case {
        fs::path output;
        const char* kind;
        mode_t type;
    };
    std::vector<Case> cases = {{fifo, "a FIFO", S_IFIFO},
                               {link, "a symbolic link", S_IFLNK},
                               {folder, "a folder", S_IFDIR}};
    if (haveDevice)
        cases.push_back({device, "a device", S_IFCHR});
    for (const Case& c : cases) {
        for (const char* command : {"pack", "build"}) {
            std::vector<std::string> args = {command, dir, "-o", c.output.string()};
            if (std::string(command) == "build")
                args.insert(args.end(), {"--stub", FIXTURE_RSRC_LAST});
            RunResult r = RunTool(args);
            EXPECT_EQ(1, r.status) << command << " -o " << c.kind;
            EXPECT_TRUE(Has(r.err, c.kind)) << command << ": " << r.err;
            EXPECT_EQ(c.type, Mode(c.output) & S_IFMT) << command << " -o " << c.kind;
        }
    }
    EXPECT_EQ("precious", ReadFile(victim));
    // extract into a folder where an entry's name is a link: refused, as a folder with anything
    // in it is, and the link's target stays as it was.
    const fs::path payload = t.path / "p.qv2";
    ASSERT_EQ(0, RunTool({"pack", dir, "-o", payload.string()}).status);
    fs::create_directories(t.path / "out");
    fs::create_symlink(victim, t.path / "out" / "GAME.DAT");
    RunResult r = RunTool({"extract", payload.string(), "-d", (t.path / "out").string()});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(Has(r.err, "not a new or empty folder")) << r.err;
    EXPECT_EQ("precious", ReadFile(victim));
    EXPECT_TRUE(fs::is_symlink(t.path / "out" / "GAME.DAT"));
}

TEST(MkupdateHostile, ReplacedFilesKeepTheirModeAndTemporariesAreNotGuessable) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const fs::path out = t.path / "p.qv2";
    WriteFile(out, "old");
    ASSERT_EQ(0, chmod(out.c_str(), 0604));
    // A link planted at the name the temporary file used to have.
    const fs::path victim = t.path / "victim";
    WriteFile(victim, "precious");
    fs::create_symlink(victim, out.string() + ".part");
    RunResult r = RunTool({"pack", (t.path / "patch").string(), "-o", out.string()});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0604u, Mode(out) & 07777);
    EXPECT_EQ(S_IFREG, Mode(out) & S_IFMT);
    EXPECT_EQ("precious", ReadFile(victim));
    EXPECT_NE("old", ReadFile(out));
    // Nothing is left beside the output but what was there.
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(t.path)) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(4u, count) << "patch, p.qv2, victim and the planted link";
}

TEST(MkupdateHostile, TheLongestHostNamesExtract) {
    // 255 bytes is the file system's limit for one name; nothing may be added to it.
    for (size_t length : {251u, 255u}) {
        TempFolder t;
        MakePatch(t.path / "patch");
        const std::string name = std::string(length - 4, 'N') + ".DAT";
        WriteFile(t.path / "patch" / name, "long name");
        const fs::path payload = t.path / "p.qv2";
        RunResult pack = RunTool({"pack", (t.path / "patch").string(), "-o", payload.string()});
        ASSERT_EQ(0, pack.status) << pack.err;
        RunResult r = RunTool({"extract", payload.string(), "-d", (t.path / "out").string()});
        EXPECT_EQ(0, r.status) << length << ": " << r.err;
        EXPECT_EQ("long name", ReadFile(t.path / "out" / name)) << length;
    }
}

TEST(MkupdateHostile, InputsThatAreNoRegularFilesAreRefusedAtOnce) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const fs::path fifo = t.path / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    struct Case {
        std::vector<std::string> args;
        const char* expect;
    };
    const std::string folder = (t.path / "patch").string();
    const Case cases[] = {
        {{"list", folder}, "a folder"},
        {{"verify", folder}, "a folder"},
        {{"extract", folder, "-d", (t.path / "x").string()}, "a folder"},
        {{"list", fifo.string()}, "a FIFO"},
        {{"verify", fifo.string()}, "a FIFO"},
        {{"build", folder, "-o", (t.path / "U.exe").string(), "--stub", fifo.string()}, "a FIFO"},
        {{"build", folder, "-o", (t.path / "U.exe").string(), "--stub", folder}, "a folder"},
    };
    for (const Case& c : cases) {
        RunResult r = RunTool(c.args);
        EXPECT_EQ(1, r.status) << c.args[0] << " " << c.args.back() << ": " << r.err;
        EXPECT_TRUE(Has(r.err, c.expect)) << c.args[0] << ": " << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    }
    EXPECT_FALSE(fs::exists(t.path / "U.exe"));
}

TEST(MkupdateHostile, LinksAndSpecialFilesInThePatchFolderAreErrorsNamingThem) {
    TempFolder t;
    const fs::path dir = t.path / "patch";
    MakePatch(dir);
    WriteFile(t.path / "outside" / "SECRET.DAT", "not for the payload");
    fs::create_symlink(t.path / "outside" / "SECRET.DAT", dir / "FILELINK.DAT");
    fs::create_directory_symlink(t.path / "outside", dir / "folderlink");
    fs::create_symlink(dir / "nothing", dir / "DANGLING.DAT");
    fs::create_symlink(dir / "LOOP.DAT", dir / "LOOP.DAT");
    ASSERT_EQ(0, mkfifo((dir / "PIPE.DAT").c_str(), 0600));

    RunResult check = RunTool({"check", dir.string()});
    EXPECT_EQ(1, check.status);
    for (const char* name : {"FILELINK.DAT", "folderlink", "DANGLING.DAT", "LOOP.DAT", "PIPE.DAT"})
        EXPECT_TRUE(Has(check.err, std::string("error: ") + (dir / name).string()))
            << name << ": " << check.err;
    const fs::path out = t.path / "p.qv2";
    RunResult pack = RunTool({"pack", dir.string(), "-o", out.string()});
    EXPECT_EQ(1, pack.status);
    EXPECT_TRUE(Has(pack.err, "may hold only files and folders")) << pack.err;
    EXPECT_TRUE(Has(pack.err, "mkupdate check lists them")) << pack.err;
    EXPECT_FALSE(fs::exists(out));

    // Without them the folder packs.
    for (const char* name : {"FILELINK.DAT", "folderlink", "DANGLING.DAT", "LOOP.DAT", "PIPE.DAT"})
        fs::remove(dir / name);
    EXPECT_EQ(0, RunTool({"pack", dir.string(), "-o", out.string()}).status);
}

TEST(MkupdateHostile, NamesWindowsCannotCreateAreErrors) {
    const char* const bad[] = {
        "NUL",    "nul.txt", "Con.tar.gz", "AUX",       "PRN.DAT",         "COM1",    "lpt9.x",
        "TRAIL.", "TRAIL ",  "A:B.DAT",    "A\\B.DAT",  "Q?.DAT",          "S*.DAT",  "P|.DAT",
        "L<.DAT", "G>.DAT",  "D\".DAT",    "TAB\t.DAT", "ESC\x1b[31m.DAT", "COM0.DAT"};
    for (const char* name : bad) {
        TempFolder t;
        const fs::path dir = t.path / "patch";
        MakePatch(dir);
        WriteFile(dir / name, "x");
        RunResult check = RunTool({"check", dir.string()});
        EXPECT_EQ(1, check.status) << name;
        EXPECT_TRUE(Has(check.err, "error: the file name of")) << name << ": " << check.err;
        RunResult pack = RunTool({"pack", dir.string(), "-o", (t.path / "p.qv2").string()});
        EXPECT_EQ(1, pack.status) << name;
        EXPECT_FALSE(fs::exists(t.path / "p.qv2")) << name;
    }
    // Lookalikes that Windows creates are fine: a device name inside a longer name, and the
    // CP932 character 表 whose second byte is a backslash.
    TempFolder t;
    const fs::path dir = t.path / "patch";
    MakePatch(dir);
    for (const char* name : {"CONSOLE.DAT", "NULL", "LPT10", "\xE8\xA1\xA8.DAT"})
        WriteFile(dir / name, "x");
    RunResult check = RunTool({"check", dir.string()});
    EXPECT_EQ(0, check.status) << check.err;
}

TEST(MkupdateHostile, PayloadsWithBadNamesAreFlaggedEscapedAndNotExtracted) {
    TempFolder t;
    const fs::path payload = t.path / "bad.qv2";
    WritePayload(payload, {"UPDATE.INI", "NUL", "\x1b]0;TITLE\x07\x1b[2J.DAT", "CON.TXT"});
    RunResult verify = RunTool({"verify", payload.string()});
    EXPECT_EQ(1, verify.status);
    EXPECT_TRUE(Has(verify.err, "entry NUL: its name is a device name")) << verify.err;
    EXPECT_TRUE(Has(verify.err, "CON.TXT: its name is a device name")) << verify.err;
    EXPECT_TRUE(Has(verify.err, "control character")) << verify.err;
    RunResult list = RunTool({"list", payload.string()});
    EXPECT_EQ(0, list.status);
    for (const RunResult* r : {&verify, &list}) {
        EXPECT_EQ(std::string::npos, (r->out + r->err).find('\x1b')) << "no raw escape";
        EXPECT_EQ(std::string::npos, (r->out + r->err).find('\x07'));
    }
    EXPECT_TRUE(Has(list.out, "\\x1B]0;TITLE\\x07\\x1B[2J.DAT")) << list.out;
    RunResult extract = RunTool({"extract", payload.string(), "-d", (t.path / "out").string()});
    EXPECT_EQ(1, extract.status);
    EXPECT_TRUE(Has(extract.err, "no safe file name")) << extract.err;
    EXPECT_FALSE(fs::exists(t.path / "out"));
}

TEST(MkupdateHostile, BuildingIntoThePatchFolderNeverPacksTheOutput) {
    TempFolder t;
    const fs::path dir = t.path / "patch";
    MakePatch(dir);
    // A temporary file of an interrupted run.
    WriteFile(dir / ".mkupdate-0123456789abcdef.tmp", std::string(5000, 't'));
    const fs::path exe = dir / "UPDATE.exe";
    std::string sizes;
    for (int run = 0; run < 3; ++run) {
        RunResult r =
            RunTool({"build", dir.string(), "-o", exe.string(), "--stub", FIXTURE_RSRC_LAST});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(Has(r.err, "left out")) << r.err;
        if (run > 0) {
            EXPECT_TRUE(Has(r.err, "UPDATE.exe: the output being written")) << r.err;
        }
        EXPECT_TRUE(Has(r.err, "a temporary file mkupdate left")) << r.err;
        sizes += std::to_string(fs::file_size(exe)) + " ";
    }
    RunResult list = RunTool({"list", exe.string()});
    EXPECT_FALSE(Has(list.out, "UPDATE.exe")) << list.out;
    EXPECT_FALSE(Has(list.out, ".mkupdate-")) << list.out;
    const std::string first = sizes.substr(0, sizes.find(' '));
    EXPECT_EQ(first + " " + first + " " + first + " ", sizes);
    // pack tells what it left out as well.
    RunResult pack = RunTool({"pack", dir.string(), "-o", (dir / "p.qv2").string()});
    EXPECT_EQ(0, pack.status) << pack.err;
    EXPECT_TRUE(Has(pack.err, "pack: left out")) << pack.err;
}

TEST(MkupdateHostile, CheckFailsWhatPackFails) {
    // A path too long for the host to open: check and pack must agree on it.
    TempFolder t;
    const fs::path dir = t.path / "patch";
    MakePatch(dir);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::string part(200, 'd');
    for (int level = 0; level < 22; ++level) {
        ASSERT_EQ(0, mkdirat(fd, part.c_str(), 0700));
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    const int file = openat(fd, "DEEP.DAT", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    ASSERT_EQ(1, write(file, "x", 1));
    close(file);
    close(fd);
    RunResult pack = RunTool({"pack", dir.string(), "-o", (t.path / "p.qv2").string()});
    RunResult check = RunTool({"check", dir.string()});
    EXPECT_EQ(1, pack.status) << pack.err;
    EXPECT_EQ(1, check.status) << check.err;
    EXPECT_TRUE(Has(check.err, "error:")) << check.err;
    // The folder goes with rm's own walk: the test's cleanup would meet the same limit.
    EXPECT_EQ(0, system(("rm -rf '" + (dir / part).string() + "'").c_str()));
}

} // namespace
