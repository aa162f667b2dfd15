// What mkupdate needs of the host's file system, the same on Linux and on Windows.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// The file's last-write time as a Windows FILETIME (100 ns ticks since 1601, UTC).
int LastWriteFileTime(const std::filesystem::path& file, uint64_t* time, std::string* error);

int ReadHostFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes,
                 std::string* error);

// Writes through a temporary file beside the target, so that a failure leaves no half file
// and an existing target whole. With time, the file's last-write time (a FILETIME).
int WriteHostFile(const std::filesystem::path& file, const uint8_t* bytes, size_t size,
                  const uint64_t* time, std::string* error);

// Sets the file's last-write time from a FILETIME.
int SetLastWriteFileTime(const std::filesystem::path& file, uint64_t time, std::string* error);

// The file name (no folder) in the ANSI code page 932; 0 when it has no CP932 form.
int NameInCodePage932(const std::filesystem::path& file, std::string* name);

// CP932 text in UTF-8, for messages and host file names; 0 when it is no valid CP932.
int Cp932ToUtf8(const std::string& text, std::string* utf8);

// A path for messages, in UTF-8.
std::string Printable(const std::filesystem::path& file);
