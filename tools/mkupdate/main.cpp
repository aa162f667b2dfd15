// mkupdate: the publisher's tool for the updater's payloads.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "mkupdate/build.h"
#include "mkupdate/check.h"
#include "mkupdate/host_files.h"
#include "mkupdate/inspect.h"
#include "mkupdate/inspect_deltas.h"
#include "mkupdate/pack.h"
#include "mkupdate/pack_volumes.h"
#include "mkupdate/payload_file.h"
#include "mkupdate/release_diff.h"
#include "mkupdate/sign.h"
#include "mkupdate/temp_output.h"
#include "mkupdate/verify_release.h"
#include "payload/delta_encode.h"

namespace {

const char kVersion[] = "1.0.0";

// Each command's synopsis and what it does, for mkupdate --help and mkupdate COMMAND --help.
struct CommandHelp {
    const char* name;
    const char* text;
};

const CommandHelp kCommands[] = {
    {"pack",
     "  pack DIR -o PAYLOAD [--fast] [--base OLD]... [--fallback] [--volume-limit SIZE]\n"
     "                                    pack every file under DIR into a payload archive\n"},
    {"build",
     "  build DIR -o UPDATE.exe [--stub PATH] [--fast] [--base OLD]... [--fallback]\n"
     "        [--volume-limit SIZE]\n"
     "        [--sign CERT --key KEY | --pkcs12 FILE] [--password-file FILE]\n"
     "        [--timestamp URL] [--description TEXT] [--url URL]\n"
     "                                    check DIR, pack it and embed the payload into a copy\n"
     "                                    of the updater (by default UPDATE.exe beside mkupdate),\n"
     "                                    signed when asked\n"
     "  build --from OLD... --to NEW -o UPDATE.exe [diff's options] [build's options]\n"
     "                                    diff, then build with --base OLD for each OLD\n"},
    {"diff",
     "  diff --from OLD [--from OLD]... --to NEW -o PATCHDIR [--dry-run] [--plan FILE]\n"
     "       [--keep PATTERN]... [--company NAME] [--title TITLE] [--game-dir DIR]\n"
     "       [--game-class CLASS]\n"
     "                                    compare the releases by content and write the new and\n"
     "                                    changed files and an UPDATE.INI into PATCHDIR\n"},
    {"check",
     "  check DIR                         check DIR's UPDATE.INI against the files and the\n"
     "                                    updater's rules; errors fail, warnings are told\n"},
    {"list",
     "  list FILE                         list the entries of a payload or of an UPDATE.exe,\n"
     "                                    and what each delta rebuilds\n"},
    {"verify",
     "  verify FILE [--base OLD]...       decode every entry and the index, check their hashes\n"
     "                                    and the deltas, report problems; with --base, apply\n"
     "                                    the deltas whose bases OLD holds and check the "
     "results\n"
     "  verify FILE --base OLD... --expect NEW\n"
     "                                    apply the patch to a copy of each OLD as the updater\n"
     "                                    would, and list every way the result differs from NEW\n"},
    {"extract",
     "  extract FILE -d DIR [NAME...]     write the files (or those named) into DIR, a new\n"
     "                                    or empty folder\n"},
};

const char kOptions[] =
    "  --fast      a quick greedy encoding instead of the smallest one\n"
    "  --base OLD  an older release of the game, laid out as installed: the files that update\n"
    "              items write by the Always, Update and Overwrite rules travel as deltas from\n"
    "              the copies there, where that is smaller; a file every base has a smaller\n"
    "              delta of is left out\n"
    "  --fallback  keep every whole file beside its deltas\n"
    "  --volume-limit SIZE\n"
    "              the largest UPDATE.exe (build) or payload file (pack), and the largest\n"
    "              volume: past it the files' bytes go to volumes beside the output, named\n"
    "              after it (UPDATE.001, ...); 64K to 2G, default 512M\n"
    "  --sign CERT --key KEY, --pkcs12 FILE\n"
    "              sign the built program with osslsigncode, last, with the certificate and its\n"
    "              private key, or with both in a PKCS#12 file (Linux build only)\n"
    "  --password-file FILE\n"
    "              the password of the key or the PKCS#12 file, read from FILE; an encrypted\n"
    "              key without it is refused (nothing ever asks for a password)\n"
    "  --timestamp URL  a time stamp on the signature from this RFC 3161 server\n"
    "  --description TEXT, --url URL  the signature's description and its web address\n"
    "  --from OLD  an older release, laid out as installed; --to NEW: the new release\n"
    "  --keep PATTERN  leave files matching PATTERN alone ('*', '?'; without a slash also\n"
    "              matched against the file name); a pattern that matches nothing fails\n"
    "  --dry-run   print the plan, file by file, and write nothing\n"
    "  --plan FILE write the plan as JSON to FILE\n"
    "  --company, --title, --game-dir, --game-class  [SETUP] values in place of those in\n"
    "              NEW's SETUP.INI\n"
    "  -q          quiet: errors only;  -v  verbose: the plan file by file, and more\n";

const char kExitCodes[] = "Exit status: 0 done, 1 failed (the reason on standard error), 2 a "
                          "usage error (a wrong command, option or argument).\n";

std::string Usage() {
    std::string text = "usage: mkupdate COMMAND ... (mkupdate COMMAND --help for one)\n\n";
    for (const CommandHelp& c : kCommands)
        text += c.text;
    return text + "\n" + kOptions +
           "  --version   mkupdate's version and what this build can do\n" + kExitCodes;
}

// Writes UTF-8 text to standard output or error. A Windows console is given the text in UTF-16,
// so that Japanese names show right whatever its code page; a file or pipe gets the UTF-8 bytes.
void Print(FILE* stream, const std::string& text) {
#ifdef _WIN32
    HANDLE h = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
        fflush(stream);
        const int units =
            MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
        std::wstring wide(units > 0 ? (size_t)units : 0, L'\0');
        if (units > 0)
            MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], units);
        for (size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            const DWORD chunk = (DWORD)std::min<size_t>(wide.size() - done, 8192);
            if (!WriteConsoleW(h, wide.data() + done, chunk, &written, nullptr) || !written)
                break;
            done += written;
        }
        return;
    }
#endif
    fwrite(text.data(), 1, text.size(), stream);
}

// 0 errors only (-q), 1 the usual notes, 2 the plan file by file and more (-v).
int verbosity = 1;

const int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

int Fail(const std::string& reason) {
    Print(stderr, "mkupdate: " + reason + "\n");
    return kExitFailed;
}

int UsageError(const std::string& reason) {
    Print(stderr, "mkupdate: " + reason + " (see mkupdate --help)\n");
    return kExitUsage;
}

void Note(const std::string& text) {
    if (verbosity >= 1)
        Print(stderr, text);
}

std::filesystem::path PathArg(const std::string& utf8) {
    return std::filesystem::u8path(utf8);
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
#else
    return isatty(2) != 0;
#endif
}

void Progress(const char* what) {
    if (verbosity >= 1 && StderrIsTerminal())
        Print(stderr, std::string("mkupdate: ") + what + "...\n");
}

// The arguments of one command: positional ones in order, options by name.
struct Args {
    std::vector<std::string> positional;
    std::string output, stub, folder, volumeLimit, expect;
    std::string cert, key, pkcs12, passwordFile, timestamp, description, url;
    std::vector<std::string> bases;
    bool fast = false;
    bool fallback = false;
    bool help = false;
    // diff, and build from two releases
    std::vector<std::string> from, keep;
    std::string to, company, title, gameDir, gameClass, plan;
    bool dryRun = false;
};

// Where the value of a signing option goes, or null.
std::string* SignOption(const std::string& a, Args* args) {
    if (a == "--sign")
        return &args->cert;
    if (a == "--key")
        return &args->key;
    if (a == "--pkcs12")
        return &args->pkcs12;
    if (a == "--timestamp")
        return &args->timestamp;
    if (a == "--description")
        return &args->description;
    if (a == "--url")
        return &args->url;
    return a == "--password-file" ? &args->passwordFile : nullptr;
}

int ParseArgs(const std::string& command, const std::vector<std::string>& in, Args* args,
              std::string* error) {
    for (size_t i = 0; i < in.size(); ++i) {
        const std::string& a = in[i];
        std::string base, from, keep;
        std::string* value = a == "-o"               ? &args->output
                             : a == "--stub"         ? &args->stub
                             : a == "-d"             ? &args->folder
                             : a == "--base"         ? &base
                             : a == "--from"         ? &from
                             : a == "--keep"         ? &keep
                             : a == "--to"           ? &args->to
                             : a == "--company"      ? &args->company
                             : a == "--title"        ? &args->title
                             : a == "--game-dir"     ? &args->gameDir
                             : a == "--game-class"   ? &args->gameClass
                             : a == "--volume-limit" ? &args->volumeLimit
                             : a == "--expect"       ? &args->expect
                             : a == "--plan"         ? &args->plan
                                                     : nullptr;
        if (!value)
            value = SignOption(a, args);
        if (value) {
            if (i + 1 >= in.size() || in[i + 1].empty()) {
                *error = command + ": " + a + " needs a value";
                return 0;
            }
            *value = in[++i];
            if (value == &base)
                args->bases.push_back(base);
            if (value == &from)
                args->from.push_back(from);
            if (value == &keep)
                args->keep.push_back(keep);
        } else if (a == "--fast") {
            args->fast = true;
        } else if (a == "--fallback") {
            args->fallback = true;
        } else if (a == "--dry-run") {
            args->dryRun = true;
        } else if (a == "-q" || a == "--quiet") {
            verbosity = 0;
        } else if (a == "-v" || a == "--verbose") {
            verbosity = 2;
        } else if (a == "--help" || a == "-h") {
            args->help = true;
        } else if (a.size() > 1 && a[0] == '-') {
            *error = command + ": unknown option '" + a + "'";
            return 0;
        } else {
            args->positional.push_back(a);
        }
    }
    return 1;
}

int ExpectArgs(const std::string& command, const Args& args, size_t positional, bool more,
               std::string* error) {
    if (args.positional.size() < positional || (!more && args.positional.size() > positional)) {
        *error = command + ": wrong arguments";
        return 0;
    }
    return 1;
}

// The --base folders as paths; 0 and the reason when one is not a folder.
int BaseFolders(const std::string& command, const Args& args,
                std::vector<std::filesystem::path>* bases, std::string* error) {
    for (const std::string& b : args.bases) {
        std::error_code ec;
        if (!std::filesystem::is_directory(PathArg(b), ec)) {
            *error = command + ": --base " + b + " is not a folder (give an older release of the " +
                     "game, laid out as installed)";
            return 0;
        }
        bases->push_back(PathArg(b));
    }
    return 1;
}

void Tell(const std::string& command, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        Note("mkupdate: " + command + ": " + line + "\n");
}

// Tells the findings (warnings not with -q); 1 when none of them is an error.
int RunCheck(const std::string& dir, const std::string& output) {
    std::vector<Finding> findings;
    const int ok = CheckFolder(PathArg(dir), &findings,
                               output.empty() ? std::filesystem::path() : PathArg(output));
    for (const Finding& f : findings)
        if (f.error || verbosity >= 1)
            Print(stderr, std::string("mkupdate: check: ") + (f.error ? "error: " : "warning: ") +
                              f.text + "\n");
    return ok;
}

bool HasSignOptions(const Args& args) {
    return !args.cert.empty() || !args.key.empty() || !args.pkcs12.empty() ||
           !args.passwordFile.empty() || !args.timestamp.empty() || !args.description.empty() ||
           !args.url.empty();
}

// The signing options: for build only, a certificate with its key or a PKCS#12 file, checked
// before anything is built. The exit code, kExitOk when they may be used.
int SignArgs(const char* command, const Args& args, SignOptions* sign) {
    if (!HasSignOptions(args))
        return kExitOk;
    const std::string c = std::string(command) + ": ";
    if (std::string(command) != "build")
        return UsageError(c + "the signing options belong to build");
    if (!args.pkcs12.empty() && (!args.cert.empty() || !args.key.empty()))
        return UsageError(c + "--pkcs12 holds the certificate and its key: give it without --sign "
                              "and --key");
    if (args.pkcs12.empty() && (args.cert.empty() || args.key.empty()))
        return UsageError(c + "give --sign CERT with --key KEY, or --pkcs12 FILE");
    sign->cert = PathArg(args.cert);
    sign->key = PathArg(args.key);
    sign->pkcs12 = PathArg(args.pkcs12);
    sign->passwordFile = PathArg(args.passwordFile);
    sign->timestamp = args.timestamp;
    sign->description = args.description;
    sign->url = args.url;
    std::string why;
    if (!CheckSigning(*sign, &why))
        return Fail(c + "--" + (args.pkcs12.empty() ? "sign" : "pkcs12") + ": " + why);
    return kExitOk;
}

bool HasDiffOptions(const Args& args) {
    return !args.from.empty() || !args.keep.empty() || !args.to.empty() || !args.company.empty() ||
           !args.title.empty() || !args.gameDir.empty() || !args.gameClass.empty() || args.dryRun ||
           !args.plan.empty();
}

// A progress bar on a terminal: one line, rewritten as each further percent is read.
struct ProgressBar {
    bool terminal = false;
    int shown = -1;
    void operator()(uint64_t done, uint64_t total) {
        const int percent = total ? (int)(done * 100 / total) : 100;
        if (!terminal || percent == shown)
            return;
        shown = percent;
        const int width = 40;
        std::string bar(width * percent / 100, '#');
        bar.resize(width, '.');
        Print(stderr, "\rmkupdate: diff: reading [" + bar + "] " + std::to_string(percent) + "%");
        if (done >= total)
            Print(stderr, "\n");
    }
};

// 1 when a lies in b or is b (both as they resolve now).
bool Within(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    const std::filesystem::path x = std::filesystem::weakly_canonical(a, ec);
    const std::filesystem::path y = std::filesystem::weakly_canonical(b, ec);
    auto [i, j] = std::mismatch(y.begin(), y.end(), x.begin(), x.end());
    (void)j;
    return i == y.end();
}

// An output file may not lie in a release, be a folder, or go into a folder that is not there.
int OutputFileProblem(const char* command, const std::filesystem::path& output,
                      const std::vector<std::string>& releases) {
    for (const std::string& r : releases)
        if (Within(output, PathArg(r)))
            return Fail(std::string(command) + ": -o " + Printable(output) +
                        " lies in the release " + r + ", which must stay as it is");
    std::error_code ec;
    if (std::filesystem::is_directory(output, ec))
        return Fail(std::string(command) + ": -o " + Printable(output) +
                    " is a folder; give the file to write");
    if (!std::filesystem::is_directory(FolderOf(output), ec))
        return Fail(std::string(command) + ": the folder of " + Printable(output) +
                    " does not exist");
    return kExitOk;
}

// diff, alone or as build's first half (into a temporary patch folder).
int Diff(const Args& args, const std::filesystem::path& out, ReleaseDiff* diff) {
    DiffOptions options;
    for (const std::string& f : args.from)
        options.from.push_back(PathArg(f));
    options.to = PathArg(args.to);
    options.out = out;
    options.keep = args.keep;
    options.companyName = args.company;
    options.gameTitle = args.title;
    options.gameDir = args.gameDir;
    options.gameClass = args.gameClass;
    ProgressBar bar;
    bar.terminal = verbosity >= 1 && StderrIsTerminal();
    options.progress = [&bar](uint64_t done, uint64_t total) { bar(done, total); };
    std::string error;
    const int ok = DiffReleases(options, diff, &error);
    if (bar.shown >= 0 && bar.shown < 100)
        Print(stderr, "\n");
    if (!ok)
        return Fail("diff: " + error);
    if (args.dryRun || verbosity >= 2)
        Print(stdout, DescribePlanFiles(*diff));
    Note(DescribeDiff(*diff));
    if (!args.plan.empty()) {
        const std::string json = PlanJson(*diff);
        if (!WriteHostFile(PathArg(args.plan), (const uint8_t*)json.data(), json.size(), nullptr,
                           &error))
            return Fail("diff: --plan: " + error);
    }
    return kExitOk;
}

// What diff and build --from/--to need before any work; the exit code, kExitOk to go on.
int DiffArgs(const char* command, const Args& args) {
    if (args.from.empty() || args.to.empty())
        return UsageError(std::string(command) + " needs --from OLD (one or more) and --to NEW");
    if (args.output.empty() && !args.dryRun)
        return UsageError(std::string(command) + " needs -o " +
                          (std::string(command) == "diff" ? "PATCHDIR" : "UPDATE.exe") +
                          " (or --dry-run)");
    if (!args.plan.empty()) {
        std::vector<std::string> releases = args.from;
        releases.push_back(args.to);
        const int plan = OutputFileProblem(command, PathArg(args.plan), releases);
        if (plan != kExitOk)
            return plan;
    }
    return kExitOk;
}

int RunDiff(const Args& args) {
    if (!args.positional.empty() || !args.stub.empty() || args.fast || args.fallback ||
        !args.bases.empty() || !args.folder.empty() || !args.volumeLimit.empty())
        return UsageError("diff: unexpected argument");
    if (HasSignOptions(args))
        return UsageError("diff: the signing options belong to build");
    const int usable = DiffArgs("diff", args);
    if (usable != kExitOk)
        return usable;
    ReleaseDiff diff;
    return Diff(args, args.dryRun ? std::filesystem::path() : PathArg(args.output), &diff);
}

// What pack and build will do, all judged before the work starts.
struct BuildPlan {
    const char* command;
    bool embed;
    PackOptions options;
    SignOptions sign;
    std::filesystem::path output, stub;
};

// Every input and output of pack and build judged, nothing read but the stub's size; the exit
// code, kExitOk to go on.
int PrepareBuild(const Args& args, bool embed, BuildPlan* plan) {
    const char* command = embed ? "build" : "pack";
    plan->command = command;
    plan->embed = embed;
    if (args.output.empty())
        return UsageError(std::string(command) + " needs -o " + (embed ? "UPDATE.exe" : "PAYLOAD"));
    if (!embed && !args.stub.empty())
        return UsageError("pack: --stub belongs to build");
    if (args.fallback && args.bases.empty() && args.from.empty())
        return UsageError(std::string(command) + ": --fallback goes with --base");
    const int signing = SignArgs(command, args, &plan->sign);
    if (signing != kExitOk)
        return signing;
    PackOptions& options = plan->options;
    options.level = args.fast ? kCompressFast : kCompressBest;
    options.fallback = args.fallback;
    std::string error;
    if (!args.volumeLimit.empty() &&
        !ParseVolumeLimit(args.volumeLimit, &options.volumeLimit, &error))
        return UsageError(std::string(command) + ": " + error);
    if (!BaseFolders(command, args, &options.bases, &error))
        return Fail(error);
    plan->output = PathArg(args.output);
    std::vector<std::string> releases = args.from;
    if (!args.to.empty())
        releases.push_back(args.to);
    releases.insert(releases.end(), args.bases.begin(), args.bases.end());
    const int place = OutputFileProblem(command, plan->output, releases);
    if (place != kExitOk)
        return place;
    plan->stub = args.stub.empty() ? DefaultStub() : PathArg(args.stub);
    std::error_code ec;
    if (embed && args.stub.empty() && !std::filesystem::exists(plan->stub, ec))
        return Fail("build: no stub beside mkupdate (" + Printable(plan->stub) +
                    "); give --stub PATH, the UPDATE.exe this project builds");
    // The limit is on the file written: for build the stub takes its share.
    if (embed && !CanReadHostFile(plan->stub, &error))
        return Fail("build: stub: " + error);
    const uint64_t stubSize = embed ? std::filesystem::file_size(plan->stub, ec) : 0;
    if (embed && (ec || stubSize + kEmbedSlack >= options.volumeLimit))
        return Fail("build: the stub " + Printable(plan->stub) +
                    (ec ? " cannot be read" : " alone is as large as the volume limit"));
    options.imageLimit = options.volumeLimit - (embed ? stubSize + kEmbedSlack : 0);
    options.volumesFor = plan->output;
    return kExitOk;
}

int Pack(const BuildPlan& plan, const std::string& dir) {
    const std::string command = plan.command;
    const std::filesystem::path& output = plan.output;
    if (plan.embed && !RunCheck(dir, Printable(output)))
        return Fail("build: the folder did not pass the check");
    std::vector<uint8_t> image;
    std::vector<std::string> leftOut, told;
    WrittenVolumes volumes;
    std::string error;
    Progress("packing");
    if (!PackFolder(PathArg(dir), output, plan.options, &image, &leftOut, &told, &error, &volumes))
        return Fail(error);
    if (!volumes.final.empty())
        told.push_back("the payload does not fit the volume limit (" +
                       std::to_string(plan.options.volumeLimit) +
                       " bytes) in one file: " + std::to_string(volumes.final.size()) + " volume" +
                       (volumes.final.size() == 1 ? "" : "s") + " beside " + Printable(output) +
                       ", " + Printable(volumes.final.front().filename()) + " to " +
                       Printable(volumes.final.back().filename()) + "; ship them with it");
    // build's check has told them already.
    for (size_t i = 0; !plan.embed && i < leftOut.size(); ++i)
        Note("mkupdate: pack: left out " + leftOut[i] + "\n");
    // The volumes are put in place, and the old ones removed, only once the payload or the
    // program is written: a failure before leaves the earlier build whole.
    int ok = 1;
    std::error_code ec;
    if (!plan.embed) {
        ok = WriteHostFile(output, image.data(), image.size(), nullptr, &error);
    } else {
        // Signing comes last, over everything embedded, the integrity record with it, and
        // with it the digests of the volumes.
        const bool signing = plan.sign.Wanted();
        const std::filesystem::path built = signing ? TemporaryNameBeside(output) : output;
        if (built.empty()) {
            DiscardVolumes(volumes);
            return Fail("build: no random name for a temporary file");
        }
        if (signing)
            RemoveIfInterrupted(built);
        bool dropped = false;
        ok = EmbedPayload(plan.stub, image, built, &error, &dropped);
        if (ok && dropped)
            told.push_back("the stub " + Printable(plan.stub) +
                           " was signed: its signature would not cover the new payload, so it "
                           "is dropped" +
                           (signing ? std::string() : " (--sign signs the result)"));
        if (ok && signing) {
            Progress("signing");
            ok = SignFile(built, output, plan.sign, &error);
        }
        if (signing) {
            std::filesystem::remove(built, ec);
            Forget(built);
        }
    }
    if (!ok) {
        DiscardVolumes(volumes);
        return Fail(error);
    }
    if (!PlaceVolumes(output, volumes, &told, &error)) {
        DiscardVolumes(volumes);
        return Fail(command + ": " + error + "; " + Printable(output) +
                    " is incomplete without its volumes: build again");
    }
    Tell(command, told);
    return kExitOk;
}

// build --from OLD... --to NEW: everything judged first; the patch folder made in a folder of
// its own beside the output, built with the older releases as bases, and removed.
int BuildFromReleases(const Args& args) {
    if (!args.positional.empty())
        return UsageError("build: give either a patch folder or --from and --to, not both");
    if (!args.bases.empty())
        return UsageError("build: --from releases are the bases already; leave out --base");
    const int usable = DiffArgs("build", args);
    if (usable != kExitOk)
        return usable;
    if (args.dryRun) {
        ReleaseDiff diff;
        return Diff(args, std::filesystem::path(), &diff);
    }
    Args packArgs = args;
    packArgs.bases = args.from;
    BuildPlan plan;
    const int ready = PrepareBuild(packArgs, true, &plan);
    if (ready != kExitOk)
        return ready;
    OwnedFolder work;
    std::string error;
    if (!work.Make(FolderOf(plan.output), &error))
        return Fail("build: " + error);
    ReleaseDiff diff;
    const std::filesystem::path patch = work.path() / "patch";
    int status = Diff(args, patch, &diff);
    if (status == kExitOk)
        status = Pack(plan, Printable(patch));
    if (!work.Remove(&error) && status == kExitOk)
        status = Fail("build: " + error);
    return status;
}

int RunPack(const Args& args, bool embed) {
    std::string error;
    if (!ExpectArgs(embed ? "build" : "pack", args, 1, false, &error))
        return UsageError(error);
    BuildPlan plan;
    const int ready = PrepareBuild(args, embed, &plan);
    if (ready != kExitOk)
        return ready;
    return Pack(plan, args.positional[0]);
}

int Inspect(const std::string& command, const Args& args) {
    std::string error;
    if (!ExpectArgs(command, args, 1, command == "extract", &error))
        return UsageError(error);
    if (!args.output.empty() || !args.stub.empty() || args.fast || args.fallback ||
        !args.volumeLimit.empty() || HasSignOptions(args) ||
        (command != "extract" && !args.folder.empty()) ||
        (command != "verify" && (!args.bases.empty() || !args.expect.empty())))
        return UsageError(command + ": unexpected option");
    if (command == "extract" && args.folder.empty())
        return UsageError("extract needs -d DIR");
    if (!args.expect.empty() && args.bases.empty())
        return UsageError("verify: --expect NEW needs --base OLD, the release (or releases) to "
                          "apply the patch to");
    std::error_code ec;
    if (!args.expect.empty() && !std::filesystem::is_directory(PathArg(args.expect), ec))
        return Fail("verify: --expect " + args.expect +
                    " is not a folder (give the new release, laid out as installed)");
    std::vector<std::filesystem::path> bases;
    if (!BaseFolders(command, args, &bases, &error))
        return Fail(error);
    if (command == "extract") {
        // Files of the publisher's are never overwritten: only a new or empty folder is filled.
        std::error_code ec;
        const std::filesystem::path dir = PathArg(args.folder);
        if (std::filesystem::exists(std::filesystem::symlink_status(dir, ec)) &&
            !(std::filesystem::is_directory(std::filesystem::symlink_status(dir, ec)) &&
              std::filesystem::is_empty(dir, ec)))
            return Fail("extract: " + args.folder +
                        " is not a new or empty folder; extract writes only into one");
    }
    OpenedPayload payload;
    if (!OpenPayload(PathArg(args.positional[0]), &payload, &error))
        return Fail(error);
    const PayloadImage& image = payload.image;
    if (command == "list") {
        std::string listing;
        if (!ListPayload(image, &listing, &error))
            return Fail(error);
        Print(stdout, listing);
        return kExitOk;
    }
    if (command == "verify") {
        std::vector<std::string> problems, told;
        Progress("verifying");
        // With --expect, the patch is applied whole, its deltas with it.
        int ok = VerifyPayload(image, &problems,
                               args.expect.empty() ? bases : std::vector<std::filesystem::path>(),
                               &told);
        if (ok && !args.expect.empty()) {
            VerifyAgainstRelease(image, bases, PathArg(args.expect), 0, &told, &problems);
            ok = problems.empty();
        }
        std::string signature;
        ok = DescribeSignature(PathArg(args.positional[0]), &signature, &problems) && ok;
        Print(stdout, DescribeCoverage(image) + "\n");
        // The volumes lie outside the signed file: what vouches for them is their size and
        // SHA-256 inside the integrity record, which the signature covers.
        const uint32_t volumes = CoveredVolumeCount(image);
        if (volumes && signature.compare(0, 18, "signature: signed;") == 0)
            signature += "; the " + std::to_string(volumes) +
                         (volumes == 1 ? " volume beside it is" : " volumes beside it are") +
                         " not inside the signed file, but covered by their size and SHA-256 in "
                         "the signed integrity record";
        if (!signature.empty())
            Print(stdout, signature + "\n");
        for (const std::string& line : told)
            Print(stdout, line + "\n");
        if (!ok) {
            for (const std::string& p : problems)
                Print(stderr, "mkupdate: verify: " + p + "\n");
            return Fail("verify: " + args.positional[0] + ": " + std::to_string(problems.size()) +
                        (problems.size() == 1 ? " problem" : " problems"));
        }
        Print(stdout, args.positional[0] + ": ok\n");
        return kExitOk;
    }
    const std::vector<std::string> names(args.positional.begin() + 1, args.positional.end());
    Progress("extracting");
    std::vector<std::string> told;
    if (!ExtractPayload(image, PathArg(args.folder), names, &error, &told))
        return Fail(error);
    Tell(command, told);
    return kExitOk;
}

std::string VersionText() {
    return std::string("mkupdate ") + kVersion +
           "\npayload features it writes and reads: " + DescribeFeatures(kToolPayloadFeatures) +
           "\nsigning: " + (SigningAvailable() ? "with osslsigncode" : "not in this build") + "\n";
}

int Run(const std::vector<std::string>& argv) {
    if (argv.size() < 2) {
        Print(stderr, Usage());
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        Print(stdout, Usage());
        return kExitOk;
    }
    if (command == "--version") {
        Print(stdout, VersionText());
        return kExitOk;
    }
    const CommandHelp* known = nullptr;
    for (const CommandHelp& c : kCommands)
        known = command == c.name ? &c : known;
    if (!known)
        return UsageError("unknown command '" + command + "'");
    Args args;
    std::string error;
    if (!ParseArgs(command, std::vector<std::string>(argv.begin() + 2, argv.end()), &args, &error))
        return UsageError(error);
    if (args.help) {
        Print(stdout, std::string("usage:\n") + known->text + "\n" + kOptions + kExitCodes);
        return kExitOk;
    }
    if (command == "diff")
        return RunDiff(args);
    if (command == "build" && HasDiffOptions(args))
        return BuildFromReleases(args);
    if (HasDiffOptions(args))
        return UsageError(command + ": --from, --to, --keep, --dry-run, --plan and the [SETUP] " +
                          "options belong to diff and build");
    if (command == "pack" || command == "build")
        return RunPack(args, command == "build");
    if (command == "check") {
        if (!ExpectArgs(command, args, 1, false, &error))
            return UsageError(error);
        return RunCheck(args.positional[0], std::string()) ? kExitOk
                                                           : Fail("check: the folder has errors");
    }
    return Inspect(command, args);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
#ifdef _WIN32
    // The narrow arguments went through the ANSI code page; the wide ones hold every name.
    (void)argv;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(n > 0 ? (size_t)n - 1 : 0, '\0');
        if (n > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &utf8[0], n, nullptr, nullptr);
        args.push_back(utf8);
    }
    LocalFree(wide);
    (void)argc;
#else
    args.assign(argv, argv + argc);
#endif
    RemoveOnSignal();
    return Run(args);
}
