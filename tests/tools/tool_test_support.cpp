#include "tools/tool_test_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

#ifndef MKUPDATE_PATH
#error the build passes the path of mkupdate
#endif

TempFolder::TempFolder() {
    std::random_device rd;
    path = std::filesystem::temp_directory_path() / ("mkupdate-test-" + std::to_string(rd()));
    std::filesystem::create_directories(path);
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

RunResult RunTool(const std::vector<std::string>& args) {
    TempFolder capture;
    // A bounded run: a command that waits forever (on a FIFO, say) fails instead of hanging.
    std::string command = "timeout -k 5 60 " + Quote(MKUPDATE_PATH);
    for (const std::string& a : args)
        command += " " + Quote(a);
    command += " >" + Quote((capture.path / "out").string()) + " 2>" +
               Quote((capture.path / "err").string());
    const int status = system(command.c_str());
    RunResult r;
    r.status = status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
    r.out = ReadFile(capture.path / "out");
    r.err = ReadFile(capture.path / "err");
    return r;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void ExpectOneLineReason(const RunResult& r, const std::string& contains) {
    EXPECT_NE(0, r.status);
    EXPECT_EQ(0u, r.err.rfind("mkupdate: ", 0)) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_TRUE(Has(r.err, contains)) << r.err;
}
