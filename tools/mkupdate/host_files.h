// What mkupdate needs of the host's file system, the same on Linux and on Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// The file's last-write time as a Windows FILETIME (100 ns ticks since 1601, UTC).
int LastWriteFileTime(const std::filesystem::path& file, uint64_t* time, std::string* error);

// Reads a regular file whole. Anything else (a folder, a FIFO, a device) is refused with its
// kind named, without waiting on it.
int ReadHostFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes,
                 std::string* error);

// 1 when the file opens for reading as ReadHostFile opens it and is a regular file.
int CanReadHostFile(const std::filesystem::path& file, std::string* error);

// Writes through a temporary file beside the target, so that a failure leaves no half file
// and an existing target whole. Only a regular file is replaced (keeping its mode) or a new
// name created; a folder, link, FIFO or device at the name is refused. The temporary file has
// a short random name (".mkupdate-<16 hex digits>.tmp") and is created exclusively, never
// through a link. With time, the file's last-write time (a FILETIME).
int WriteHostFile(const std::filesystem::path& file, const uint8_t* bytes, size_t size,
                  const uint64_t* time, std::string* error);

// The same, for a file written in parts: nothing shows at the name until Commit, and a writer
// abandoned (or destroyed) before it leaves no temporary file behind. A failed Write is told by
// Commit.
class HostFileWriter {
  public:
    HostFileWriter() = default;
    HostFileWriter(const HostFileWriter&) = delete;
    HostFileWriter& operator=(const HostFileWriter&) = delete;
    ~HostFileWriter();

    int Open(const std::filesystem::path& file, std::string* error);
    int Write(const uint8_t* bytes, size_t size);
    int Commit(const uint64_t* time, std::string* error);
    void Abandon();

  private:
    std::filesystem::path file_, temp_;
    bool open_ = false;
    bool failed_ = false;
    int code_ = 0;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// A new name of the kind WriteHostFile gives its temporary files, beside file (nothing is
// created); empty when no random name can be had.
std::filesystem::path TemporaryNameBeside(const std::filesystem::path& file);

// 16 random hexadecimal digits, from the system's random source; 0 when none can be had.
int RandomHexSuffix(std::string* suffix);

// 1 when the name is one WriteHostFile gives its temporary files.
int IsTemporaryName(const std::filesystem::path& file);

// Sets the file's last-write time from a FILETIME.
int SetLastWriteFileTime(const std::filesystem::path& file, uint64_t time, std::string* error);

// The file name (no folder) in the ANSI code page 932; 0 when it has no CP932 form.
int NameInCodePage932(const std::filesystem::path& file, std::string* name);

// CP932 text in UTF-8, for messages and host file names; 0 when it is no valid CP932.
int Cp932ToUtf8(const std::string& text, std::string* utf8);

// UTF-8 text in CP932; 0 when some of it has no CP932 form.
int Utf8ToCp932(const std::string& utf8, std::string* text);

// Text for a terminal: control characters (C0, DEL and, in UTF-8, C1) as \xNN, so that no
// escape sequence reaches it. Without utf8 every byte from 0x80 up is escaped as well.
std::string EscapeControls(const std::string& text, bool utf8);

// CP932 text for messages: in UTF-8 with control characters escaped, or, when it is no valid
// CP932, every byte from 0x80 up escaped.
std::string ShownCp932(const std::string& text);

// A path for messages, in UTF-8.
std::string Printable(const std::filesystem::path& file);
