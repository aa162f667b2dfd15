#include "mkupdate/sign.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "mkupdate/host_files.h"
#include "mkupdate/temp_output.h"
#include "pe/pe_signature.h"

namespace {

const char kSigner[] = "osslsigncode";

// Headers lie in the first few kilobytes; a section table past this is no program's.
const size_t kHeadBytes = 1 << 20;
// Certificate tables are a few kilobytes; anything near this is no signature.
const uint64_t kLargestTable = 16u << 20;

#ifndef _WIN32
// The signer's path in an absolute folder of PATH, or empty: an empty or relative entry would
// run whatever the current folder holds.
std::string FindSigner() {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = dir + "/" + kSigner;
        if (!dir.empty() && dir[0] == '/' && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

// Runs the signer with its output on our standard error (our standard output is for listings).
int RunSigner(const std::vector<std::string>& args, std::string* error) {
    const std::string signer = FindSigner();
    if (signer.empty()) {
        *error = std::string(kSigner) + " is not installed (Debian package " + kSigner + ")";
        return 0;
    }
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // No terminal to ask on: a session of its own, and nothing to read on its input. Its own
    // signals as usual, whatever this process blocks.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    const int spawned =
        posix_spawn(&pid, signer.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        *error = "cannot run " + signer + ": " + strerror(spawned);
        return 0;
    }
    // In a session of its own it would not see the terminal's Ctrl-C: a signal ends it here.
    EndIfInterrupted(pid);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            EndIfInterrupted(0);
            *error = std::string("lost ") + kSigner + ": " + strerror(errno);
            return 0;
        }
    EndIfInterrupted(0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 1;
    *error = std::string(kSigner) + " failed (" +
             (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                : "signal " + std::to_string(WTERMSIG(status))) +
             "; its reason is above)";
    return 0;
}
#endif

// Reads up to want bytes at offset; 0 when the file is shorter.
int ReadAt(std::ifstream& in, uint64_t offset, size_t want, std::vector<uint8_t>* bytes) {
    bytes->resize(want);
    in.clear();
    in.seekg((std::streamoff)offset);
    in.read((char*)bytes->data(), (std::streamsize)want);
    return in.gcount() == (std::streamsize)want;
}

} // namespace

int SigningAvailable() {
#ifdef _WIN32
    return 0;
#else
    return 1;
#endif
}

int CheckSigning(const SignOptions& options, std::string* error) {
    if (!SigningAvailable()) {
        *error = "signing is unavailable in this build of mkupdate (the Windows build cannot run "
                 "osslsigncode): sign with the Linux build, or sign the built UPDATE.exe "
                 "afterwards with a signing tool of your own";
        return 0;
    }
#ifndef _WIN32
    if (FindSigner().empty()) {
        *error = std::string(kSigner) + " is not installed (Debian package " + kSigner +
                 "; scripts/install-deps brings it)";
        return 0;
    }
#endif
    for (const std::filesystem::path* file :
         {&options.cert, &options.key, &options.pkcs12, &options.passwordFile})
        if (!file->empty() && !CanReadHostFile(*file, error))
            return 0;
    if (!options.key.empty() && options.passwordFile.empty()) {
        std::vector<uint8_t> key;
        if (!ReadHostFile(options.key, &key, error))
            return 0;
        const std::string text(key.begin(), key.end());
        if (text.find("ENCRYPTED") != std::string::npos) {
            *error = "the key " + Printable(options.key) +
                     " is encrypted: give its password with --password-file FILE";
            return 0;
        }
    }
    for (const std::string* url : {&options.timestamp, &options.url})
        if (!url->empty() && url->compare(0, 7, "http://") != 0 &&
            url->compare(0, 8, "https://") != 0) {
            *error = *url + " is no http:// or https:// address";
            return 0;
        }
    return 1;
}

int SignFile(const std::filesystem::path& unsignedFile, const std::filesystem::path& output,
             const SignOptions& options, std::string* error) {
#ifdef _WIN32
    (void)unsignedFile;
    (void)output;
    (void)options;
    return CheckSigning(options, error);
#else
    const std::filesystem::path temp = TemporaryNameBeside(output);
    if (temp.empty()) {
        *error = "cannot sign " + Printable(output) + ": no random name for the temporary file";
        return 0;
    }
    RemoveIfInterrupted(temp);
    std::vector<std::string> args = {kSigner, "sign", "-h", "sha256"};
    if (!options.pkcs12.empty())
        args.insert(args.end(), {"-pkcs12", options.pkcs12.string()});
    else
        args.insert(args.end(), {"-certs", options.cert.string(), "-key", options.key.string()});
    if (!options.passwordFile.empty())
        args.insert(args.end(), {"-readpass", options.passwordFile.string()});
    if (!options.description.empty())
        args.insert(args.end(), {"-n", options.description});
    if (!options.url.empty())
        args.insert(args.end(), {"-i", options.url});
    if (!options.timestamp.empty())
        args.insert(args.end(), {"-ts", options.timestamp});
    args.insert(args.end(), {"-in", unsignedFile.string(), "-out", temp.string()});
    // The signed program is judged from its headers and copied to output piece by piece: a
    // program of many GiB is never held whole.
    int ok = RunSigner(args, error) && CanReadHostFile(temp, error);
    std::ifstream in(temp, std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    const uint64_t size = end > 0 ? (uint64_t)end : 0;
    std::vector<uint8_t> part;
    if (ok && !ReadAt(in, 0, (size_t)std::min<uint64_t>(size, kHeadBytes), &part)) {
        *error = Printable(temp) + " cannot be read";
        ok = 0;
    }
    PeCertificateTable table;
    if (ok && !ReadCertificateTable(part.data(), part.size(), size, &table, error))
        ok = 0;
    std::string problem;
    if (ok)
        problem = table.size ? CertificateTableProblem(table, size) : "it carries no signature";
    HostFileWriter out;
    if (ok && problem.empty() && out.Open(output, error)) {
        for (uint64_t at = 0; ok && at < size; at += part.size()) {
            ok = ReadAt(in, at, (size_t)std::min<uint64_t>(size - at, 1u << 20), &part);
            ok = ok && out.Write(part.data(), part.size());
        }
        if (!ok)
            *error = Printable(temp) + " cannot be read";
        ok = ok && out.Commit(nullptr, error);
    } else if (ok && problem.empty()) {
        ok = 0;
    }
    in.close();
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    Forget(temp);
    if (!ok) {
        *error = "cannot sign " + Printable(output) + ": " + *error;
        return 0;
    }
    if (!problem.empty()) {
        *error = "what " + std::string(kSigner) + " made of " + Printable(output) +
                 " is not signed as it should be: " + problem;
        return 0;
    }
    return 1;
#endif
}

int DescribeSignature(const std::filesystem::path& file, std::string* line,
                      std::vector<std::string>* problems) {
    line->clear();
    std::ifstream in(file, std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    if (!in || end < 2)
        return 1;
    const uint64_t size = (uint64_t)end;
    std::vector<uint8_t> head;
    ReadAt(in, 0, (size_t)std::min<uint64_t>(size, kHeadBytes), &head);
    if (head.size() < 2 || head[0] != 'M' || head[1] != 'Z')
        return 1;
    PeCertificateTable table;
    std::string error;
    if (!ReadCertificateTable(head.data(), head.size(), size, &table, &error)) {
        problems->push_back("its signature cannot be judged: " + error);
        *line = "signature: unknown";
        return 0;
    }
    if (!table.size) {
        *line = "signature: none (the program is not signed)";
        return 1;
    }
    std::string problem = CertificateTableProblem(table, size);
    int entries = -1;
    std::vector<uint8_t> bytes;
    if (problem.empty() && table.size > kLargestTable)
        problem = "the certificate table is " + std::to_string(table.size) +
                  " bytes, too large for a signature";
    else if (problem.empty() && ReadAt(in, table.offset, table.size, &bytes))
        entries = CountCertificates(bytes.data(), bytes.size());
    if (problem.empty() && entries <= 0)
        problem = "the certificate table holds no well-formed certificate entries";
    if (!problem.empty()) {
        problems->push_back(problem);
        *line = "signature: signed, but not over the whole file as it should be (below)";
        return 0;
    }
    char place[96];
    snprintf(place, sizeof place, "at 0x%08X, %u bytes, %d %s", (unsigned)table.offset,
             (unsigned)table.size, entries, entries == 1 ? "entry" : "entries");
    *line = std::string("signature: signed; its certificate table (") + place +
            ") ends the file, so the signature covers the whole file";
    return 1;
}
