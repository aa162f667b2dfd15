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
#include "mkupdate/payload_file.h"

namespace {

const char kUsage[] =
    "usage: mkupdate COMMAND ...\n"
    "\n"
    "  pack DIR -o PAYLOAD [--fast]      pack every file under DIR into a payload archive\n"
    "  build DIR -o UPDATE.exe [--stub PATH] [--fast]\n"
    "                                    check DIR, pack it and embed the payload into a copy\n"
    "                                    of the updater (by default UPDATE.exe beside mkupdate)\n"
    "  check DIR                         check DIR's UPDATE.INI against the files and the\n"
    "                                    updater's rules; errors fail, warnings are told\n"
    "  list FILE                         list the entries of a payload or of an UPDATE.exe\n"
    "  verify FILE                       decode every entry and the index, check their hashes,\n"
    "                                    report problems\n"
    "  extract FILE -d DIR [NAME...]     write the entries (or those named) into DIR\n"
    "\n"
    "  --fast   a quick greedy encoding instead of the smallest one\n"
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
    std::string output, stub, folder;
    bool fast = false;
};

int ParseArgs(const std::string& command, const std::vector<std::string>& in, Args* args,
              std::string* error) {
    for (size_t i = 0; i < in.size(); ++i) {
        const std::string& a = in[i];
        std::string* value = a == "-o"       ? &args->output
                             : a == "--stub" ? &args->stub
                             : a == "-d"     ? &args->folder
                                             : nullptr;
        if (value) {
            if (i + 1 >= in.size()) {
                *error = command + ": " + a + " needs a value";
                return 0;
            }
            *value = in[++i];
        } else if (a == "--fast") {
            args->fast = true;
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

int Pack(const Args& args, bool embed) {
    const char* command = embed ? "build" : "pack";
    std::string error;
    if (!ExpectArgs(command, args, 1, false, &error))
        return Fail(error);
    if (args.output.empty())
        return Fail(std::string(command) + " needs -o " + (embed ? "UPDATE.exe" : "PAYLOAD"));
    if (!embed && !args.stub.empty())
        return Fail("pack: --stub belongs to build");
    if (embed && !RunCheck(args.positional[0], args.output))
        return Fail("build: the folder did not pass the check");
    std::vector<uint8_t> image;
    std::vector<std::string> leftOut;
    Progress("packing");
    if (!PackFolder(PathArg(args.positional[0]), PathArg(args.output),
                    args.fast ? kCompressFast : kCompressBest, &image, &leftOut, &error))
        return Fail(error);
    // build's check has told them already.
    for (size_t i = 0; !embed && i < leftOut.size(); ++i)
        Print(stderr, "mkupdate: pack: left out " + leftOut[i] + "\n");
    if (!embed) {
        if (!WriteHostFile(PathArg(args.output), image.data(), image.size(), nullptr, &error))
            return Fail(error);
        return 0;
    }
    const std::filesystem::path stub = args.stub.empty() ? DefaultStub() : PathArg(args.stub);
    std::error_code ec;
    if (args.stub.empty() && !std::filesystem::exists(stub, ec))
        return Fail("build: no stub beside mkupdate (" + Printable(stub) +
                    "); give --stub PATH, the UPDATE.exe this project builds");
    if (!EmbedPayload(stub, image, PathArg(args.output), &error))
        return Fail(error);
    return 0;
}

int Inspect(const std::string& command, const Args& args) {
    std::string error;
    if (!ExpectArgs(command, args, 1, command == "extract", &error))
        return Fail(error);
    if (!args.output.empty() || !args.stub.empty() || args.fast ||
        (command != "extract" && !args.folder.empty()))
        return Fail(command + ": unexpected option (see mkupdate --help)");
    std::vector<uint8_t> image;
    if (!LoadPayload(PathArg(args.positional[0]), &image, &error))
        return Fail(error);
    if (command == "list") {
        std::string listing;
        if (!ListPayload(image, &listing, &error))
            return Fail(error);
        Print(stdout, listing);
        return 0;
    }
    if (command == "verify") {
        std::vector<std::string> problems;
        Progress("verifying");
        const int ok = VerifyPayload(image, &problems);
        Print(stdout, DescribeCoverage(image) + "\n");
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
    if (!ExtractPayload(&image, PathArg(args.folder), names, &error))
        return Fail(error);
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
