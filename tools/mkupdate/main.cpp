// mkupdate: the publisher's tool for the updater's payloads.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "mkupdate/host_files.h"
#include "mkupdate/pack.h"

namespace {

const char kUsage[] =
    "usage: mkupdate pack DIR -o PAYLOAD\n"
    "\n"
    "  pack   packs every file under DIR (its UPDATE.INI included) into a payload archive\n";

int Fail(const std::string& reason) {
    fprintf(stderr, "mkupdate: %s\n", reason.c_str());
    return 1;
}

int Pack(const std::vector<std::string>& args) {
    std::string dir, output;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size())
            output = args[++i];
        else if (dir.empty() && args[i][0] != '-')
            dir = args[i];
        else
            return Fail("pack: unexpected argument '" + args[i] + "'");
    }
    if (dir.empty() || output.empty())
        return Fail("pack needs a folder and -o PAYLOAD");
    std::vector<uint8_t> image;
    std::string error;
    if (!PackFolder(std::filesystem::u8path(dir), kCompressBest, &image, &error) ||
        !WriteHostFile(std::filesystem::u8path(output), image, &error))
        return Fail(error);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "pack")
        return Pack(args);
    return Fail("unknown command '" + command + "' (see mkupdate --help)");
}
