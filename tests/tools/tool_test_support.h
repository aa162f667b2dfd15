// Folders and files for the tests of mkupdate, and running the built program.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// A new empty folder, removed with everything in it at the end.
struct TempFolder {
    std::filesystem::path path;
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

void WriteFile(const std::filesystem::path& file, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& file);

struct RunResult {
    int status;      // the exit code, or -1 when the program could not be run
    std::string out; // standard output
    std::string err; // standard error
};

// Runs mkupdate with the arguments, capturing its output; a run longer than a minute is killed
// (status 124 or 137).
RunResult RunTool(const std::vector<std::string>& args);

bool Has(const std::string& text, const std::string& part);
// A failed run that gives its reason in exactly one line on standard error, naming the tool.
void ExpectOneLineReason(const RunResult& r, const std::string& contains);
