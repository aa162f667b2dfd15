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
#include "mkupdate/pack.h"
#include "mkupdate/pack_volumes.h"
#include "mkupdate/payload_file.h"
#include "mkupdate/release_diff.h"
#include "mkupdate/sign.h"
#include "mkupdate/verify_release.h"
#include "payload/delta_encode.h"

namespace {

const char kUsage[] =
    "usage: mkupdate COMMAND ...\n"
    "\n"
    "  pack DIR -o PAYLOAD [--fast] [--base OLD]... [--fallback] [--volume-limit SIZE]\n"
    "                                    pack every file under DIR into a payload archive\n"
    "  build DIR -o UPDATE.exe [--stub PATH] [--fast] [--base OLD]... [--fallback]\n"
    "        [--volume-limit SIZE]\n"
    "        [--sign CERT --key KEY | --pkcs12 FILE] [--password-file FILE]\n"
    "                                    check DIR, pack it and embed the payload into a copy\n"
    "                                    of the updater (by default UPDATE.exe beside mkupdate),\n"
    "                                    signed when asked\n"
    "  build --from OLD... --to NEW -o UPDATE.exe [diff's options] [build's options]\n"
    "                                    diff, then build with --base OLD for each OLD\n"
    "  diff --from OLD [--from OLD]... --to NEW -o PATCHDIR [--dry-run] [--keep PATTERN]...\n"
    "       [--company NAME] [--title TITLE] [--game-dir DIR] [--game-class CLASS]\n"
    "                                    compare the releases by content and write the new and\n"
    "                                    changed files and an UPDATE.INI into PATCHDIR\n"
    "  check DIR                         check DIR's UPDATE.INI against the files and the\n"
    "                                    updater's rules; errors fail, warnings are told\n"
    "  list FILE                         list the entries of a payload or of an UPDATE.exe,\n"
    "                                    and what each delta rebuilds\n"
    "  verify FILE [--base OLD]...       decode every entry and the index, check their hashes\n"
    "                                    and the deltas, report problems; with --base, apply\n"
    "                                    the deltas whose bases OLD holds and check the results\n"
    "  verify FILE --base OLD... --expect NEW\n"
    "                                    apply the patch to a copy of each OLD as the updater\n"
    "                                    would, and list every way the result differs from NEW\n"
    "  extract FILE -d DIR [NAME...]     write the files (or those named) into DIR\n"
    "\n"
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
    "              the password of the key or the PKCS#12 file, read from FILE\n"
    "  --from OLD  an older release, laid out as installed; --to NEW: the new release\n"
    "  --keep PATTERN  leave files matching PATTERN alone ('*', '?'; without a slash also\n"
    "              matched against the file name)\n"
    "  --dry-run   print the plan only\n"
    "  --company, --title, --game-dir, --game-class  [SETUP] values in place of those in\n"
    "              NEW's SETUP.INI\n"
    "Exit status 0 on success; otherwise 1 with the reason on standard error.\n";

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

int Fail(const std::string& reason) {
    Print(stderr, "mkupdate: " + reason + "\n");
    return 1;
}

std::filesystem::path PathArg(const std::string& utf8) {
    return std::filesystem::u8path(utf8);
}

void Progress(const char* what) {
#ifdef _WIN32
    const bool terminal = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
#else
    const bool terminal = isatty(2) != 0;
#endif
    if (terminal)
        Print(stderr, std::string("mkupdate: ") + what + "...\n");
}

// The arguments of one command: positional ones in order, options by name.
struct Args {
    std::vector<std::string> positional;
    std::string output, stub, folder, volumeLimit, expect;
    std::string cert, key, pkcs12, passwordFile;
    std::vector<std::string> bases;
    bool fast = false;
    bool fallback = false;
    // diff, and build from two releases
    std::vector<std::string> from, keep;
    std::string to, company, title, gameDir, gameClass;
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
                                                     : nullptr;
        if (!value)
            value = SignOption(a, args);
        if (value) {
            if (i + 1 >= in.size()) {
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
        *error = command + ": wrong arguments (see mkupdate --help)";
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
        Print(stderr, "mkupdate: " + command + ": " + line + "\n");
}

// Tells the findings; 1 when none of them is an error.
int RunCheck(const std::string& dir, const std::string& output) {
    std::vector<Finding> findings;
    const int ok = CheckFolder(PathArg(dir), &findings,
                               output.empty() ? std::filesystem::path() : PathArg(output));
    for (const Finding& f : findings)
        Print(stderr, std::string("mkupdate: check: ") + (f.error ? "error: " : "warning: ") +
                          f.text + "\n");
    return ok;
}

// The signing options: for build only, a certificate with its key or a PKCS#12 file, checked
// before anything is built.
int SignArgs(const char* command, const Args& args, SignOptions* sign, std::string* error) {
    const bool any = !args.cert.empty() || !args.key.empty() || !args.pkcs12.empty() ||
                     !args.passwordFile.empty();
    if (!any)
        return 1;
    *error = std::string(command) + ": ";
    if (std::string(command) != "build")
        *error += "--sign, --key, --pkcs12 and --password-file belong to build";
    else if (!args.pkcs12.empty() && (!args.cert.empty() || !args.key.empty()))
        *error += "--pkcs12 holds the certificate and its key: give it without --sign and --key";
    else if (args.pkcs12.empty() && (args.cert.empty() || args.key.empty()))
        *error += "give --sign CERT with --key KEY, or --pkcs12 FILE";
    else {
        sign->cert = PathArg(args.cert);
        sign->key = PathArg(args.key);
        sign->pkcs12 = PathArg(args.pkcs12);
        sign->passwordFile = PathArg(args.passwordFile);
        std::string why;
        if (CheckSigning(*sign, &why)) {
            error->clear();
            return 1;
        }
        *error += "--" + std::string(args.pkcs12.empty() ? "sign" : "pkcs12") + ": " + why;
    }
    return 0;
}

bool HasDiffOptions(const Args& args) {
    return !args.from.empty() || !args.keep.empty() || !args.to.empty() || !args.company.empty() ||
           !args.title.empty() || !args.gameDir.empty() || !args.gameClass.empty() || args.dryRun;
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

bool StderrIsTerminal() {
#ifdef _WIN32
    return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
#else
    return isatty(2) != 0;
#endif
}

// diff, alone or as build's first half (into a temporary patch folder).
int Diff(const Args& args, const std::filesystem::path& out, ReleaseDiff* diff) {
    DiffOptions options;
    for (const std::string& f : args.from)
        options.from.push_back(PathArg(f));
    if (args.from.empty() || args.to.empty())
        return Fail("diff needs --from OLD (one or more) and --to NEW");
    options.to = PathArg(args.to);
    options.out = out;
    options.keep = args.keep;
    options.companyName = args.company;
    options.gameTitle = args.title;
    options.gameDir = args.gameDir;
    options.gameClass = args.gameClass;
    ProgressBar bar;
    bar.terminal = StderrIsTerminal();
    options.progress = [&bar](uint64_t done, uint64_t total) { bar(done, total); };
    std::string error;
    const int ok = DiffReleases(options, diff, &error);
    if (bar.shown >= 0 && bar.shown < 100)
        Print(stderr, "\n");
    if (!ok)
        return Fail("diff: " + error);
    Print(stderr, DescribeDiff(*diff));
    return 0;
}

int RunDiff(const Args& args) {
    if (!args.positional.empty() || !args.stub.empty() || args.fast || args.fallback ||
        !args.bases.empty() || !args.folder.empty() || !args.volumeLimit.empty())
        return Fail("diff: unexpected argument (see mkupdate --help)");
    if (args.output.empty() && !args.dryRun)
        return Fail("diff needs -o PATCHDIR (or --dry-run)");
    ReleaseDiff diff;
    return Diff(args, args.dryRun ? std::filesystem::path() : PathArg(args.output), &diff);
}

int Pack(const Args& args, bool embed);

// build --from OLD... --to NEW: the patch folder made in a temporary folder, then built with
// the older releases as bases, and removed.
int BuildFromReleases(const Args& args) {
    if (!args.positional.empty())
        return Fail("build: give either a patch folder or --from and --to, not both");
    if (!args.bases.empty())
        return Fail("build: --from releases are the bases already; leave out --base");
    if (args.output.empty())
        return Fail("build needs -o UPDATE.exe");
    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec)
        return Fail("build: no temporary folder: " + ec.message());
#ifdef _WIN32
    temp /= "mkupdate-diff-" + std::to_string(GetCurrentProcessId());
#else
    temp /= "mkupdate-diff-" + std::to_string(getpid());
#endif
    std::filesystem::remove_all(temp, ec);
    ReleaseDiff diff;
    Args diffArgs = args;
    int status = Diff(diffArgs, args.dryRun ? std::filesystem::path() : temp, &diff);
    if (status == 0 && !args.dryRun && diff.files.empty() && diff.deletes.empty())
        status = Fail("build: the releases do not differ; there is no patch to make");
    if (status == 0 && !args.dryRun) {
        Args packArgs = args;
        packArgs.from.clear();
        packArgs.to.clear();
        packArgs.keep.clear();
        packArgs.company = packArgs.title = packArgs.gameDir = packArgs.gameClass = "";
        packArgs.positional.push_back(Printable(temp));
        if (DeltaEncoderAvailable())
            packArgs.bases = args.from;
        else
            Print(stderr, "mkupdate: build: this build of mkupdate makes no deltas: the changed "
                          "files travel whole\n");
        status = Pack(packArgs, true);
    }
    std::filesystem::remove_all(temp, ec);
    return status;
}

int Pack(const Args& args, bool embed) {
    const char* command = embed ? "build" : "pack";
    std::string error;
    if (!ExpectArgs(command, args, 1, false, &error))
        return Fail(error);
    if (args.output.empty())
        return Fail(std::string(command) + " needs -o " + (embed ? "UPDATE.exe" : "PAYLOAD"));
    if (!embed && !args.stub.empty())
        return Fail("pack: --stub belongs to build");
    // Before anything is read: the Windows build has no suffix sorter to make deltas with.
    if (!args.bases.empty() && !DeltaEncoderAvailable())
        return Fail(std::string(command) +
                    ": --base: delta encoding is unavailable in this build of mkupdate (the "
                    "Windows build has no suffix sorter); make payloads with deltas with the "
                    "Linux build");
    if (args.fallback && args.bases.empty())
        return Fail(std::string(command) + ": --fallback goes with --base");
    SignOptions sign;
    if (!SignArgs(command, args, &sign, &error))
        return Fail(error);
    PackOptions options;
    options.level = args.fast ? kCompressFast : kCompressBest;
    options.fallback = args.fallback;
    if (!args.volumeLimit.empty() &&
        !ParseVolumeLimit(args.volumeLimit, &options.volumeLimit, &error))
        return Fail(std::string(command) + ": " + error);
    if (!BaseFolders(command, args, &options.bases, &error))
        return Fail(error);
    const std::filesystem::path output = PathArg(args.output);
    const std::filesystem::path stub = args.stub.empty() ? DefaultStub() : PathArg(args.stub);
    std::error_code ec;
    if (embed && args.stub.empty() && !std::filesystem::exists(stub, ec))
        return Fail("build: no stub beside mkupdate (" + Printable(stub) +
                    "); give --stub PATH, the UPDATE.exe this project builds");
    // The limit is on the file written: for build the stub takes its share.
    if (embed && !CanReadHostFile(stub, &error))
        return Fail("build: stub: " + error);
    const uint64_t stubSize = embed ? std::filesystem::file_size(stub, ec) : 0;
    if (embed && (ec || stubSize + kEmbedSlack >= options.volumeLimit))
        return Fail("build: the stub " + Printable(stub) +
                    (ec ? " cannot be read" : " alone is as large as the volume limit"));
    options.imageLimit = options.volumeLimit - (embed ? stubSize + kEmbedSlack : 0);
    options.volumesFor = output;
    if (embed && !RunCheck(args.positional[0], args.output))
        return Fail("build: the folder did not pass the check");
    std::vector<uint8_t> image;
    std::vector<std::string> leftOut, told;
    WrittenVolumes volumes;
    Progress("packing");
    if (!PackFolder(PathArg(args.positional[0]), output, options, &image, &leftOut, &told, &error,
                    &volumes))
        return Fail(error);
    if (!volumes.final.empty())
        told.push_back("the payload does not fit the volume limit (" +
                       std::to_string(options.volumeLimit) +
                       " bytes) in one file: " + std::to_string(volumes.final.size()) + " volume" +
                       (volumes.final.size() == 1 ? "" : "s") + " beside " + Printable(output) +
                       ", " + Printable(volumes.final.front().filename()) + " to " +
                       Printable(volumes.final.back().filename()) + "; ship them with it");
    // build's check has told them already.
    for (size_t i = 0; !embed && i < leftOut.size(); ++i)
        Print(stderr, "mkupdate: pack: left out " + leftOut[i] + "\n");
    // The volumes are put in place, and the old ones removed, only once the payload or the
    // program is written: a failure before leaves the earlier build whole.
    int ok = 1;
    if (!embed) {
        ok = WriteHostFile(output, image.data(), image.size(), nullptr, &error);
    } else {
        // Signing comes last, over everything embedded, the integrity record with it, and
        // with it the digests of the volumes.
        const std::filesystem::path built = sign.Wanted() ? TemporaryNameBeside(output) : output;
        if (built.empty()) {
            DiscardVolumes(volumes);
            return Fail("build: no random name for a temporary file");
        }
        bool dropped = false;
        ok = EmbedPayload(stub, image, built, &error, &dropped);
        if (ok && dropped)
            told.push_back("the stub " + Printable(stub) +
                           " was signed: its signature would not cover the new payload, so it "
                           "is dropped" +
                           (sign.Wanted() ? std::string() : " (--sign signs the result)"));
        if (ok && sign.Wanted()) {
            Progress("signing");
            ok = SignFile(built, output, sign, &error);
            std::filesystem::remove(built, ec);
        }
    }
    if (!ok) {
        DiscardVolumes(volumes);
        return Fail(error);
    }
    if (!PlaceVolumes(output, volumes, &told, &error)) {
        DiscardVolumes(volumes);
        return Fail(std::string(command) + ": " + error + "; " + Printable(output) +
                    " is incomplete without its volumes: build again");
    }
    Tell(command, told);
    return 0;
}

int Inspect(const std::string& command, const Args& args) {
    std::string error;
    if (!ExpectArgs(command, args, 1, command == "extract", &error))
        return Fail(error);
    if (!args.output.empty() || !args.stub.empty() || args.fast || args.fallback ||
        !args.volumeLimit.empty() || !args.cert.empty() || !args.key.empty() ||
        !args.pkcs12.empty() || !args.passwordFile.empty() ||
        (command != "extract" && !args.folder.empty()) ||
        (command != "verify" && (!args.bases.empty() || !args.expect.empty())))
        return Fail(command + ": unexpected option (see mkupdate --help)");
    if (!args.expect.empty() && args.bases.empty())
        return Fail("verify: --expect NEW needs --base OLD, the release (or releases) to apply "
                    "the patch to");
    std::error_code ec;
    if (!args.expect.empty() && !std::filesystem::is_directory(PathArg(args.expect), ec))
        return Fail("verify: --expect " + args.expect +
                    " is not a folder (give the new release, "
                    "laid out as installed)");
    std::vector<std::filesystem::path> bases;
    if (!BaseFolders(command, args, &bases, &error))
        return Fail(error);
    OpenedPayload payload;
    if (!OpenPayload(PathArg(args.positional[0]), &payload, &error))
        return Fail(error);
    const PayloadImage& image = payload.image;
    if (command == "list") {
        std::string listing;
        if (!ListPayload(image, &listing, &error))
            return Fail(error);
        Print(stdout, listing);
        return 0;
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
        return 0;
    }
    if (args.folder.empty())
        return Fail("extract needs -d DIR");
    const std::vector<std::string> names(args.positional.begin() + 1, args.positional.end());
    Progress("extracting");
    std::vector<std::string> told;
    if (!ExtractPayload(image, PathArg(args.folder), names, &error, &told))
        return Fail(error);
    Tell(command, told);
    return 0;
}

int Run(const std::vector<std::string>& argv) {
    if (argv.size() < 2) {
        Print(stderr, kUsage);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        Print(stdout, kUsage);
        return 0;
    }
    Args args;
    std::string error;
    if (!ParseArgs(command, std::vector<std::string>(argv.begin() + 2, argv.end()), &args, &error))
        return Fail(error);
    if (command == "diff")
        return RunDiff(args);
    if (command == "build" && HasDiffOptions(args))
        return BuildFromReleases(args);
    if (HasDiffOptions(args))
        return Fail(command + ": --from, --to, --keep, --dry-run and the [SETUP] options belong "
                              "to diff and build");
    if (command == "pack" || command == "build")
        return Pack(args, command == "build");
    if (command == "check") {
        if (!ExpectArgs(command, args, 1, false, &error))
            return Fail(error);
        return RunCheck(args.positional[0], std::string()) ? 0
                                                           : Fail("check: the folder has errors");
    }
    if (command == "list" || command == "verify" || command == "extract")
        return Inspect(command, args);
    return Fail("unknown command '" + command + "' (see mkupdate --help)");
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
    return Run(args);
}
