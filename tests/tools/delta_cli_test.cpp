// Deltas as the publisher meets them: pack and build --base make them, list tells them, verify
// checks them and, with --base, applies them; extract leaves them alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "mkupdate/inspect_deltas.h"
#include "tools/delta_test_support.h"
#include "tools/tool_test_support.h"

#ifndef FIXTURE_RSRC_LAST
#error the build passes the fixture paths
#endif

namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

RunResult Pack(const Releases& r, const std::vector<std::string>& more, const fs::path& out) {
    std::vector<std::string> args = {"pack", r.patch.string(), "-o", out.string()};
    args.insert(args.end(), more.begin(), more.end());
    return RunTool(args);
}

TEST(MkupdateDeltas, OneBaseGivesDeltasOnlyForWhatItemsWriteByRulesThatTakeThem) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2";
    RunResult pack = Pack(r, {"--base", r.a.string()}, out);
    ASSERT_EQ(0, pack.status) << pack.err;
    EXPECT_TRUE(Has(pack.err, "BIG.DAT: <QV2|DELTA|1> from " + r.a.string() + " (data\\BIG.DAT)"))
        << pack.err;
    EXPECT_TRUE(Has(pack.err, "BIG.DAT: travels only as deltas")) << pack.err;
    EXPECT_TRUE(Has(pack.err, "SAVE.DAT: no deltas: a Data item uses it")) << pack.err;
    EXPECT_TRUE(Has(pack.err, "OPT.DAT: no delta from")) << pack.err;
    EXPECT_FALSE(Has(pack.err, "NOTE.TXT")) << "no item names it: " << pack.err;

    // In descriptor order after the files: PROG.DAT sorts before data/BIG.DAT.
    const Payload p = ReadPayload(out);
    ASSERT_EQ(2u, p.deltas.size());
    ExpectDelta(p, 0, "PROG.DAT", r.a / "game" / "PROG.DAT", r.patch / "PROG.DAT");
    ExpectDelta(p, 1, "BIG.DAT", r.a / "game" / "data" / "BIG.DAT", r.patch / "data" / "BIG.DAT");
    for (const char* whole : {"UPDATE.INI", "NOTE.TXT", "OPT.DAT", "SAVE.DAT"})
        EXPECT_TRUE(p.HasEntry(whole)) << whole;
    for (const char* gone : {"BIG.DAT", "PROG.DAT"})
        EXPECT_FALSE(p.HasEntry(gone)) << gone;

    RunResult list = RunTool({"list", out.string()});
    ASSERT_EQ(0, list.status) << list.err;
    EXPECT_EQ(2u, Count(list.out, "\n<QV2|DELTA|")) << list.out;
    EXPECT_TRUE(Has(list.out, "target BIG.DAT: 1 delta, no whole copy")) << list.out;
    // Scattered edits: the encoder's modeled streams are smaller, and the payload says so.
    EXPECT_TRUE(p.flagged);
    EXPECT_TRUE(Has(list.out, "required features 0x00000042 (deltas, modeled deltas)")) << list.out;
    EXPECT_TRUE(Has(list.out, std::to_string(fs::file_size(r.a / "game/data/BIG.DAT")) + "  " +
                                  HexStart(r.a / "game/data/BIG.DAT")))
        << list.out;

    RunResult verify = RunTool({"verify", out.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    verify = RunTool({"verify", out.string(), "--base", r.a.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_EQ(2u, Count(verify.out, "\napplied entry <QV2|DELTA|")) << verify.out;
    EXPECT_TRUE(Has(verify.out, "BIG.DAT rebuilt, " +
                                    std::to_string(fs::file_size(r.patch / "data/BIG.DAT")) +
                                    " bytes, SHA-256 as described"))
        << verify.out;

    // extract writes files only: none for what travels only as deltas, and never a delta.
    RunResult all = RunTool({"extract", out.string(), "-d", (t.path / "all").string()});
    ASSERT_EQ(0, all.status) << all.err;
    EXPECT_TRUE(Has(all.err, "BIG.DAT travels only as deltas and is not written")) << all.err;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(t.path / "all"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::vector<std::string>({"NOTE.TXT", "OPT.DAT", "SAVE.DAT", "UPDATE.INI"}), names);
    ExpectOneLineReason(
        RunTool({"extract", out.string(), "-d", (t.path / "one").string(), "big.dat"}),
        "big.dat travels only as deltas");
    ExpectOneLineReason(
        RunTool({"extract", out.string(), "-d", (t.path / "one").string(), "<QV2|DELTA|0>"}),
        "is a delta");
    EXPECT_FALSE(fs::exists(t.path / "one"));
}

TEST(MkupdateDeltas, TwoBasesGiveOneDeltaForEachDistinctBase) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2";
    RunResult pack = Pack(r, {"--base", r.a.string(), "--base", r.b.string()}, out);
    ASSERT_EQ(0, pack.status) << pack.err;
    // B's PROG.DAT is A's: one delta serves both.
    EXPECT_TRUE(Has(pack.err, "PROG.DAT: the base from " + r.b.string() +
                                  " (PROG.DAT) is the one of " + r.a.string() + ": <QV2|DELTA|0>"))
        << pack.err;
    const Payload p = ReadPayload(out);
    ASSERT_EQ(3u, p.deltas.size());
    ExpectDelta(p, 0, "PROG.DAT", r.a / "game/PROG.DAT", r.patch / "PROG.DAT");
    ExpectDelta(p, 1, "BIG.DAT", r.a / "game/data/BIG.DAT", r.patch / "data/BIG.DAT");
    ExpectDelta(p, 2, "BIG.DAT", r.b / "game/data/BIG.DAT", r.patch / "data/BIG.DAT");
    // The deltas follow every file and precede the record, named in descriptor order.
    for (size_t n = 0; n < 3; ++n)
        EXPECT_EQ(p.entryCount - 4 + n, p.deltas[n].position) << n;
    EXPECT_FALSE(p.HasEntry("BIG.DAT"));

    RunResult list = RunTool({"list", out.string()});
    EXPECT_TRUE(Has(list.out, "target BIG.DAT: 2 deltas, no whole copy")) << list.out;
    RunResult verify =
        RunTool({"verify", out.string(), "--base", r.a.string(), "--base", r.b.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_EQ(4u, Count(verify.out, "\napplied entry <QV2|DELTA|")) << verify.out;
    EXPECT_TRUE(Has(verify.out, "<QV2|DELTA|2> (delta of BIG.DAT) on " +
                                    (r.b / "game" / "data" / "BIG.DAT").string()))
        << verify.out;
}

TEST(MkupdateDeltas, TheWholeEntryStaysWithFallbackOrWhereABaseHasNoDelta) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2";
    RunResult pack = Pack(r, {"--base", r.a.string(), "--fallback"}, out);
    ASSERT_EQ(0, pack.status) << pack.err;
    EXPECT_TRUE(Has(pack.err, "BIG.DAT: the whole entry travels too (--fallback)")) << pack.err;
    Payload p = ReadPayload(out);
    EXPECT_EQ(2u, p.deltas.size());
    EXPECT_TRUE(p.HasEntry("BIG.DAT"));
    EXPECT_TRUE(p.HasEntry("PROG.DAT"));
    RunResult list = RunTool({"list", out.string()});
    EXPECT_TRUE(Has(list.out, "target BIG.DAT: 1 delta, and a whole copy")) << list.out;
    ASSERT_EQ(0, RunTool({"extract", out.string(), "-d", (t.path / "x").string()}).status);
    EXPECT_EQ(ReadFile(r.patch / "data/BIG.DAT"), ReadFile(t.path / "x" / "BIG.DAT"));
    EXPECT_EQ(0, RunTool({"verify", out.string(), "--base", r.a.string()}).status);

    // C has no BIG.DAT: its whole entry stays, and A's delta of it travels besides.
    pack = Pack(r, {"--base", r.a.string(), "--base", r.c.string()}, out);
    ASSERT_EQ(0, pack.status) << pack.err;
    EXPECT_TRUE(Has(pack.err, "BIG.DAT: no delta from " + r.c.string() +
                                  " (data\\BIG.DAT): no such file there"))
        << pack.err;
    EXPECT_TRUE(Has(pack.err, "BIG.DAT: the whole entry travels too (not every base has a delta)"))
        << pack.err;
    p = ReadPayload(out);
    EXPECT_TRUE(p.HasEntry("BIG.DAT"));
    EXPECT_FALSE(p.HasEntry("PROG.DAT")) << "C's PROG.DAT is A's";
    ASSERT_EQ(2u, p.deltas.size());
    EXPECT_EQ("BIG.DAT", p.deltas[1].target);
    RunResult verify = RunTool({"verify", out.string(), "--base", r.c.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_TRUE(Has(verify.out, r.c.string() + " has no data\\BIG.DAT: an installation like it "
                                               "gets the whole BIG.DAT"))
        << verify.out;
}

TEST(MkupdateDeltas, SameInputsSameBytesAndNoBaseAsBefore) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const std::vector<std::string> bases = {"--base", r.a.string(), "--base", r.b.string()};
    ASSERT_EQ(0, Pack(r, bases, t.path / "one.qv2").status);
    ASSERT_EQ(0, Pack(r, bases, t.path / "two.qv2").status);
    EXPECT_EQ(ReadFile(t.path / "one.qv2"), ReadFile(t.path / "two.qv2"));

    // Without --base: the payload pack made before deltas existed, rebuilt here from the files.
    ASSERT_EQ(0, Pack(r, {}, t.path / "plain.qv2").status);
    const std::string plain = ReadFile(t.path / "plain.qv2");
    EXPECT_EQ(WholeFilesPayload(r.patch), plain);
    // A base that gives no smaller delta changes nothing either.
    WriteFile(t.path / "small" / "game" / "OPT.DAT", "options 0");
    RunResult pack = Pack(r, {"--base", (t.path / "small").string()}, t.path / "same.qv2");
    ASSERT_EQ(0, pack.status) << pack.err;
    EXPECT_EQ(plain, ReadFile(t.path / "same.qv2"));
}

TEST(MkupdateDeltas, BasesThatCannotServeAreRefused) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2";
    ExpectOneLineReason(Pack(r, {"--base", (t.path / "nowhere").string()}, out), "is not a folder");
    ExpectOneLineReason(Pack(r, {"--base", (r.patch / "NOTE.TXT").string()}, out),
                        "is not a folder");
    ExpectOneLineReason(Pack(r, {"--fallback"}, out), "--fallback goes with --base");
    ExpectOneLineReason(Pack(r, {"--base"}, out), "--base needs a value");
    ExpectOneLineReason(RunTool({"list", out.string(), "--base", r.a.string()}),
                        "unexpected option");

    // A base file that is there but is no file to read stops the pack, naming it.
    const fs::path big = r.b / "game" / "data" / "BIG.DAT";
    fs::remove(big);
    ASSERT_EQ(0, mkfifo(big.c_str(), 0600));
    ExpectOneLineReason(Pack(r, {"--base", r.a.string(), "--base", r.b.string()}, out),
                        big.string() + " is a FIFO");
    fs::remove(big);
    if (geteuid() != 0) { // root reads whatever the mode says
        WriteFile(big, "unreadable");
        chmod(big.c_str(), 0);
        ExpectOneLineReason(Pack(r, {"--base", r.b.string()}, out), "cannot open");
        fs::remove(big);
    }
    EXPECT_FALSE(fs::exists(out)) << "nothing is written";
    // A folder there is a release whose folder the patch turns into a file: no base, and the
    // whole file travels.
    fs::create_directories(big);
    const RunResult folder = Pack(r, {"--base", r.b.string()}, out);
    EXPECT_EQ(0, folder.status) << folder.err;
    EXPECT_TRUE(Has(folder.err,
                    "BIG.DAT: no delta from " + r.b.string() + " (data\\BIG.DAT): a folder there"))
        << folder.err;
    ExpectOneLineReason(
        RunTool({"verify", (t.path / "any.qv2").string(), "--base", (t.path / "nowhere").string()}),
        "is not a folder");
}

// A base that already holds the new file (the patch named as its own base) gives no delta,
// naming the file and the base, and the whole entry travels; a base that reaches out of itself
// through a link is refused, naming the link.
TEST(MkupdateDeltas, BaseHoldingTheResultOrLeadingOutIsRefused) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2";
    const fs::path self = t.path / "self";
    fs::copy(r.a, self, fs::copy_options::recursive);
    fs::copy_file(r.patch / "data" / "BIG.DAT", self / "game" / "data" / "BIG.DAT",
                  fs::copy_options::overwrite_existing);
    RunResult pack = Pack(r, {"--base", self.string()}, out);
    ASSERT_EQ(0, pack.status) << pack.err;
    EXPECT_TRUE(Has(pack.err, "BIG.DAT: no delta from " + self.string() +
                                  " (data\\BIG.DAT): the base already holds the new file"))
        << pack.err;
    Payload p = ReadPayload(out);
    EXPECT_TRUE(p.HasEntry("BIG.DAT")) << "the whole entry travels";
    for (const DeltaSeen& d : p.deltas)
        EXPECT_NE("BIG.DAT", d.target);

    const fs::path linked = t.path / "linked";
    fs::copy(r.a, linked, fs::copy_options::recursive);
    fs::rename(linked / "game" / "data", t.path / "outside");
    fs::create_directory_symlink(t.path / "outside", linked / "game" / "data");
    ExpectOneLineReason(Pack(r, {"--base", linked.string()}, out),
                        (linked / "game" / "data").string() + " is a link that leads out of");
    // A link that stays inside the base is followed as before.
    fs::remove(linked / "game" / "data");
    fs::rename(t.path / "outside", linked / "elsewhere");
    fs::create_directory_symlink(linked / "elsewhere", linked / "game" / "data");
    EXPECT_EQ(0, Pack(r, {"--base", linked.string()}, out).status);
}

TEST(MkupdateDeltas, VerifyAppliesOnlyWhatMatchesAndTellsTheRest) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2", fallback = t.path / "f.qv2";
    ASSERT_EQ(0, Pack(r, {"--base", r.a.string()}, out).status);
    ASSERT_EQ(0, Pack(r, {"--base", r.a.string(), "--fallback"}, fallback).status);
    // E is A with BIG.DAT changed by one byte: no delta is made from it, none is applied.
    const fs::path e = t.path / "e";
    fs::copy(r.a, e, fs::copy_options::recursive);
    std::string changed = ReadFile(e / "game/data/BIG.DAT");
    changed[100] ^= 1;
    WriteFile(e / "game/data/BIG.DAT", changed);

    RunResult verify = RunTool({"verify", out.string(), "--base", e.string()});
    EXPECT_EQ(1, verify.status);
    EXPECT_TRUE(Has(verify.err, (e / "game/data/BIG.DAT").string() +
                                    " matches no delta of BIG.DAT and the payload has no whole "
                                    "copy of BIG.DAT: an installation like it is refused"))
        << verify.err;
    EXPECT_FALSE(Has(verify.out, "(delta of BIG.DAT) on")) << verify.out;
    EXPECT_TRUE(Has(verify.out, "applied entry <QV2|DELTA|0> (delta of PROG.DAT)")) << verify.out;
    verify = RunTool({"verify", fallback.string(), "--base", e.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_TRUE(Has(verify.out, "matches no delta of BIG.DAT: an installation like it gets the "
                                "whole entry"))
        << verify.out;
    // Without the file at all, and no whole copy.
    fs::remove(e / "game/data/BIG.DAT");
    verify = RunTool({"verify", out.string(), "--base", e.string()});
    EXPECT_EQ(1, verify.status);
    EXPECT_TRUE(Has(verify.err, "has no data\\BIG.DAT and the payload has no whole copy"))
        << verify.err;
}

TEST(MkupdateDeltas, VerifyFindsADamagedDeltaEntry) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path out = t.path / "p.qv2";
    ASSERT_EQ(0, Pack(r, {"--base", r.a.string()}, out).status);
    std::string image = ReadFile(out);
    const Payload p = ReadPayload(out);
    image[p.deltas[1].storedOffset + 20] ^= 0x10;
    WriteFile(t.path / "bad.qv2", image);
    RunResult verify = RunTool({"verify", (t.path / "bad.qv2").string()});
    EXPECT_EQ(1, verify.status);
    EXPECT_TRUE(Has(verify.err, "entry <QV2|DELTA|1>")) << verify.err;
    // Applying it to its base cannot give the described result either.
    verify = RunTool({"verify", (t.path / "bad.qv2").string(), "--base", r.a.string()});
    EXPECT_EQ(1, verify.status);
    EXPECT_FALSE(Has(verify.out, "(delta of BIG.DAT) on")) << verify.out;
    EXPECT_TRUE(Has(verify.err, "(delta of BIG.DAT) on ")) << verify.err;
}

TEST(MkupdateDeltas, BuildRefusesAStubThatDoesNotApplyDeltas) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    const fs::path exe = t.path / "UPDATE.exe";
    const auto build = [&](const std::string& stub) {
        return RunTool({"build", r.patch.string(), "-o", exe.string(), "--stub", stub, "--base",
                        r.a.string()});
    };
    // The fixture declares nothing; an updater from before deltas declares integrity alone; one
    // from before modeled deltas, integrity and deltas. Scattered edits give modeled deltas.
    const fs::path integrityOnly = t.path / "integrity.exe", plain = t.path / "plain.exe";
    WriteStubDeclaring(FIXTURE_RSRC_LAST, PAYLOAD_FEATURE_INTEGRITY, integrityOnly);
    WriteStubDeclaring(FIXTURE_RSRC_LAST, PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS,
                       plain);
    const struct {
        std::string stub;
        const char* reason;
    } refusals[] = {
        {FIXTURE_RSRC_LAST, "requires features 0x00000042 (deltas, modeled deltas) and the stub "
                            "reads only 0x00000000 (none); the payload carries deltas, which this "
                            "stub cannot apply"},
        {integrityOnly.string(),
         "the stub reads only 0x00000001 (integrity); the payload carries deltas"},
        {plain.string(), "the stub reads only 0x00000003 (integrity, deltas); the payload's "
                         "deltas hold modeled streams, which this stub cannot apply"},
    };
    for (const auto& c : refusals) {
        ExpectOneLineReason(build(c.stub), c.reason);
        EXPECT_FALSE(fs::exists(exe)) << c.stub;
    }
    // Without --base the same stub takes the same folder.
    EXPECT_EQ(0, RunTool({"build", r.patch.string(), "-o", exe.string(), "--stub",
                          integrityOnly.string()})
                     .status);
    fs::remove(exe);

    const fs::path current = t.path / "current.exe";
    WriteStubDeclaring(FIXTURE_RSRC_LAST,
                       PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS |
                           PAYLOAD_FEATURE_MODELED_DELTAS,
                       current);
    RunResult built = build(current.string());
    ASSERT_EQ(0, built.status) << built.err;
    EXPECT_TRUE(Has(built.err, "mkupdate: build: BIG.DAT: travels only as deltas")) << built.err;
    EXPECT_EQ(0, RunTool({"verify", exe.string(), "--base", r.a.string()}).status);
    EXPECT_TRUE(Has(RunTool({"list", exe.string()}).out, "target BIG.DAT: 1 delta"));
}

TEST(MkupdateDeltas, TheSampleReleases) {
    const fs::path examples = EXAMPLES_DIR, releases = examples / "sample-releases";
    TempFolder t;
    // The committed files are what the script beside them writes.
    ASSERT_EQ(0, system(("python3 '" + (releases / "make-releases.py").string() + "' '" +
                         t.path.string() + "'")
                            .c_str()));
    for (const char* tree : {"sample-releases/0.90", "sample-releases/1.00", "sample-delta-patch"})
        EXPECT_EQ(TreeOf(examples / tree), TreeOf(t.path / tree)) << tree;

    const std::string patch = (examples / "sample-delta-patch").string();
    EXPECT_EQ(0, RunTool({"check", patch}).status);
    const fs::path out = t.path / "p.qv2";
    RunResult pack =
        RunTool({"pack", patch, "-o", out.string(), "--base", (releases / "0.90").string(),
                 "--base", (releases / "1.00").string()});
    ASSERT_EQ(0, pack.status) << pack.err;
    printf("%s", pack.err.c_str());
    const Payload p = ReadPayload(out);
    EXPECT_FALSE(p.HasEntry("EVENT.DAT"));
    ASSERT_EQ(2u, p.deltas.size());
    const uint64_t whole = WholeStoredSize(examples / "sample-delta-patch" / "data" / "EVENT.DAT");
    for (const DeltaSeen& d : p.deltas) {
        EXPECT_EQ("EVENT.DAT", d.target);
        EXPECT_LT(d.storedSize * 5, whole) << "a delta is a small part of the whole entry";
    }
    RunResult verify = RunTool({"verify", out.string(), "--base", (releases / "0.90").string(),
                                "--base", (releases / "1.00").string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_EQ(2u, Count(verify.out, "\napplied entry <QV2|DELTA|")) << verify.out;
}

} // namespace
