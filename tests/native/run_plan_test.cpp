#include "update/run_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

const uint64_t kEntryTime = 1000;

// What stands on the disk, by path below the game's folder (which is there): "f" a file, "d" a
// folder, then marks: r read-only, h hidden, s system, l held by another program, n newer than
// the payload's files. Source marks, by an item's path: "-" no entry, "b" a delta whose base is
// installed, "=" already the new file, "x" another version, "?" unreadable (the last three with
// deltas; "x-" also without a whole entry).
struct Row {
    const char* what;
    std::map<std::string, std::string> disk;
    std::vector<std::string> items; // mode letter (a u d o x for delete), a space, the path
    std::string expected;           // the actions, or "refused <why> <path>"
    std::map<std::string, std::string> sources = {};
    bool newFolders = false;
    bool overwriteOnly = false;
    std::string dataFolder = ""; // the folder items are written into, below the game's folder
};

const char* kRefusals[] = {"done",         "NoEntry",     "NoFolder",      "Unreadable",
                           "OtherVersion", "FolderInWay", "FolderDeleted", "InUse"};

struct World {
    std::vector<std::string> names;
    std::vector<PlanPath> paths;
    std::vector<PlanItem> items;
    std::vector<uint32_t> inner;
    std::vector<uint8_t> record = std::vector<uint8_t>(1);

    uint32_t Index(const std::string& name, const Row& row) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name)
                return (uint32_t)i;
        PlanPath p{};
        auto found = row.disk.find(name);
        if (name.empty() || found != row.disk.end()) {
            const std::string marks = name.empty() ? "d" : found->second;
            p.exists = 1;
            p.attributes = marks[0] == 'd' ? kPlanFolder : kPlanNormal;
            for (char m : marks) {
                p.attributes |= m == 'r'   ? kPlanReadOnly
                                : m == 'h' ? kPlanHidden
                                : m == 's' ? kPlanSystem
                                           : 0;
            }
            p.replaceable = marks[0] == 'f' && marks.find('l') == std::string::npos;
            p.size = 10;
            p.writeTime = marks.find('n') != std::string::npos ? kEntryTime + 1 : kEntryTime - 1;
            p.creationTime = 7;
        }
        names.push_back(name);
        paths.push_back(p);
        return (uint32_t)names.size() - 1;
    }

    // An item as "mode,path" ("u,sys\\a.dat").
    void Add(const std::string& modeAndPath, const Row& row) {
        PlanItem item{};
        const char mode = modeAndPath[0];
        const std::string path = modeAndPath.substr(2);
        item.mode = mode == 'u'   ? Update
                    : mode == 'd' ? Data
                    : mode == 'o' ? Overwrite
                    : mode == 'x' ? Delete
                                  : Always;
        item.noName = path.empty() || path.back() == '\\';
        const std::string base = row.dataFolder.empty() ? "" : row.dataFolder + "\\";
        item.folder = Index(row.dataFolder, row);
        item.folderParent = row.dataFolder.empty() ? kNoPlanPath : Index("", row);
        item.firstInner = (uint32_t)inner.size();
        for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
            inner.push_back(Index(base + path.substr(0, at), row));
            ++item.innerCount;
        }
        std::string target = base + path;
        if (item.noName && !target.empty())
            target.pop_back();
        item.target = Index(target, row);
        auto source = row.sources.find(path);
        const std::string marks = source == row.sources.end() ? "" : source->second;
        PlanSource& s = item.source;
        if (marks.find('-') == std::string::npos && !item.noName) {
            s.record = record.data();
            s.entrySize = 5;
            s.entryTime = kEntryTime;
        }
        s.hasDeltas = marks.find_first_of("b=x?") != std::string::npos;
        s.deltaTime = kEntryTime;
        s.match = marks[0] == 'b'   ? kPlanMatchBase
                  : marks[0] == '=' ? kPlanMatchResult
                  : marks[0] == '?' ? kPlanMatchUnreadable
                                    : kPlanMatchNone;
        s.deltaSize = 6;
        items.push_back(item);
    }
};

std::string Describe(const World& w, const PlanResult& r, const std::vector<PlanAction>& actions) {
    if (r.refusal != kPlanDone)
        return std::string("refused ") + kRefusals[r.refusal] + " " + w.names[r.path];
    std::string out;
    for (uint32_t i = 0; i < r.count; ++i) {
        const PlanAction& a = actions[i];
        static const char* kinds[] = {"", "put", "mk", "plain", "", "del", "rmdir"};
        out += (out.empty() ? "" : "; ") + std::string(kinds[a.kind]) + " " + w.names[a.path];
        if (a.kind == kReplaceFile) {
            static const char* from[] = {"self", "entry", "delta"};
            out += std::string("=") + from[a.from] + (a.creationOnly ? " kept" : "");
        }
    }
    return out;
}

// The write rules, one row each: the disk and the items in, the journal's actions out.
TEST(RunPlan, WriteRules) {
    const Row rows[] = {
        {"Always replaces", {{"a", "f"}}, {"a a"}, "put a=entry"},
        {"Always writes a new file", {}, {"a a"}, "put a=entry"},
        {"Update keeps a newer file", {{"a", "fn"}}, {"u a"}, ""},
        {"Update clears a kept file's read-only mark", {{"a", "fnr"}}, {"u a"}, "plain a"},
        {"Update replaces an older file", {{"a", "f"}}, {"u a"}, "put a=entry"},
        {"Data writes back what is there", {{"s", "f"}}, {"d s"}, "put s=self kept"},
        {"Data writes a missing file", {}, {"d s"}, "put s=entry"},
        {"Data leaves a read-only file", {{"s", "fr"}}, {"d s"}, ""},
        {"Data leaves a hidden file", {{"s", "fh"}}, {"d s"}, ""},
        {"Data leaves a system file", {{"s", "fs"}}, {"d s"}, ""},
        {"Data needs no entry when the file is there",
         {{"s", "f"}},
         {"d s"},
         "put s=self kept",
         {{"s", "-"}}},
        {"Overwrite skips a missing file", {}, {"o a"}, ""},
        {"Overwrite skips a folder", {{"a", "d"}}, {"o a"}, ""},
        {"Overwrite replaces a file", {{"a", "f"}}, {"o a"}, "put a=entry"},
        {"OverwriteOnly skips what is missing", {}, {"a a", "d s"}, "", {}, false, true},
        {"Always over a folder", {{"a", "d"}}, {"a a"}, "refused FolderInWay a"},
        {"no entry", {}, {"a a"}, "refused NoEntry a", {{"a", "-"}}},
        {"a lone selector names no file", {}, {"a "}, "refused NoEntry "},
        {"a path ending in a separator", {{"sys", "d"}}, {"u sys\\"}, "refused NoEntry sys"},
        {"no name, overwrite-only: the folder is skipped", {}, {"a "}, "", {}, false, true},
        {"a file in a folder that is not there", {}, {"a sys\\a"}, "refused NoFolder sys"},
        {"the folders made when the payload asks",
         {{"sys", "d"}},
         {"a sys\\x\\y\\a"},
         "mk sys\\x; mk sys\\x\\y; put sys\\x\\y\\a=entry",
         {},
         true},
        {"a file where a folder should be",
         {{"sys", "f"}},
         {"a sys\\a"},
         "refused NoFolder sys",
         {},
         true},
        {"a deleted file gives way to a folder, its files staged before",
         {{"sys", "f"}},
         {"a sys\\x\\a", "a sys\\b", "x sys"},
         "del sys; mk sys; mk sys\\x; put sys\\x\\a=entry; put sys\\b=entry",
         {},
         true},
        {"a deleted file stays without new folders",
         {{"sys", "f"}},
         {"a sys\\a", "x sys"},
         "refused NoFolder sys"},
        {"a held file does not give way to a folder",
         {{"sys", "fl"}},
         {"a sys\\a", "x sys"},
         "refused InUse sys",
         {},
         true},
        {"a folder emptied by deletions gives way to a file, innermost first",
         {{"d", "d"}, {"d\\a", "f"}, {"d\\s", "d"}, {"d\\s\\b", "f"}},
         {"a d", "x d\\s\\b", "x d\\a", "x d\\t\\c", "x gone"},
         "del d\\s\\b; del d\\a; rmdir d\\s; rmdir d; put d=entry",
         {},
         true},
        {"a folder stays in the way without new folders",
         {{"d", "d"}, {"d\\a", "f"}},
         {"a d", "x d\\a"},
         "refused FolderInWay d"},
        {"a folder the run makes stays in the way",
         {},
         {"a d\\a", "a d", "x d\\a"},
         "refused FolderInWay d",
         {},
         true},
        {"a held file in a folder that gives way",
         {{"d", "d"}, {"d\\a", "fl"}},
         {"a d", "x d\\a"},
         "refused InUse d\\a",
         {},
         true},
        {"a file another program holds", {{"a", "fl"}}, {"a a"}, "refused InUse a"},
        {"the data folder is made first",
         {},
         {"a a"},
         "mk D; put D\\a=entry",
         {},
         false,
         false,
         "D"},
        {"a skipped item still makes its folder", {}, {"o a"}, "mk D", {}, false, false, "D"},
        {"a later item for one file takes the earlier one's place",
         {{"a", "fn"}},
         {"a a", "u a"},
         "put a=entry"},
        {"a data item after a write writes that back", {}, {"a a", "d a"}, "put a=entry kept"},
        {"deletion", {{"a", "f"}, {"b", "fr"}}, {"x a", "x b", "x gone"}, "del a; del b"},
        {"a deleted file the run also writes stays", {{"a", "f"}}, {"a a", "x a"}, "put a=entry"},
        {"one file deleted twice", {{"a", "f"}}, {"x a", "x a"}, "del a"},
        {"deleting a folder", {{"a", "d"}}, {"x a"}, "refused FolderDeleted a"},
        {"deleting a held file", {{"a", "fl"}}, {"x a"}, "refused InUse a"},
        {"built from the installed base", {{"a", "f"}}, {"a a"}, "put a=delta", {{"a", "b"}}},
        {"already the new file: written back", {{"a", "f"}}, {"a a"}, "put a=self", {{"a", "="}}},
        {"another version, the whole file carried",
         {{"a", "f"}},
         {"a a"},
         "put a=entry",
         {{"a", "x"}}},
        {"another version", {{"a", "f"}}, {"a a"}, "refused OtherVersion a", {{"a", "x-"}}},
        {"an unreadable base", {{"a", "f"}}, {"a a"}, "refused Unreadable a", {{"a", "?"}}},
        {"an Update item leaves a newer base alone", {{"a", "fn"}}, {"u a"}, "", {{"a", "?"}}},
        {"an earlier item already makes it the new file",
         {{"a", "f"}},
         {"a a", "u a"},
         "put a=delta",
         {{"a", "b"}}},
    };
    for (const Row& row : rows) {
        World w;
        for (const std::string& item : row.items)
            w.Add(item, row);
        const PlanSnapshot s{w.paths.data(),          (uint32_t)w.paths.size(),
                             w.items.data(),          (uint32_t)w.items.size(),
                             w.inner.data(),          (uint8_t)row.overwriteOnly,
                             (uint8_t)row.newFolders, 5000};
        std::vector<PlanAction> actions(PlanCapacity(s));
        const PlanResult r = PlanRun(s, actions.data());
        ASSERT_LE(r.count, actions.size()) << row.what;
        EXPECT_EQ(row.expected, Describe(w, r, actions)) << row.what;
    }
}

} // namespace
