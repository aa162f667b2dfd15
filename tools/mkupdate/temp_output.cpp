#include "mkupdate/temp_output.h"

#include <errno.h>
#include <string.h>

#include <mutex>
#include <set>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include <sddl.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include "mkupdate/host_files.h"

namespace fs = std::filesystem;

namespace {

std::mutex registered_mutex;
std::set<fs::path> registered;
long child = 0;

// A folder another process may still be writing into is emptied again until it is gone.
void RemoveRegistered() {
    std::lock_guard<std::mutex> hold(registered_mutex);
#ifndef _WIN32
    if (child > 0 && kill((pid_t)child, SIGTERM) == 0)
        waitpid((pid_t)child, nullptr, 0);
#endif
    for (const fs::path& p : registered) {
        std::error_code ec;
        for (int tries = 0;
             tries < 8 && fs::symlink_status(p, ec).type() != fs::file_type::not_found; ++tries)
            fs::remove_all(p, ec);
    }
}

#ifdef _WIN32
// Only the user: a protected access list with one entry, full access for the user's own SID.
int MakePrivateFolder(const fs::path& folder, bool* taken, std::string* error) {
    *taken = false;
    HANDLE token = nullptr;
    std::wstring sddl;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::string buffer(size, '\0');
        LPWSTR sid = nullptr;
        if (size && GetTokenInformation(token, TokenUser, &buffer[0], size, &size) &&
            ConvertSidToStringSidW(((TOKEN_USER*)&buffer[0])->User.Sid, &sid)) {
            sddl = std::wstring(L"D:P(A;OICI;FA;;;") + sid + L")";
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sddl.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        *error = "cannot make an access list for the user alone";
        return 0;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const BOOL made = CreateDirectoryW(folder.c_str(), &attributes);
    const DWORD code = GetLastError();
    LocalFree(descriptor);
    if (made)
        return 1;
    *taken = code == ERROR_ALREADY_EXISTS;
    *error = "cannot create " + Printable(folder) + " (error " + std::to_string(code) + ")";
    return 0;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
    RemoveRegistered();
    return FALSE; // the default handler ends the process
}
#else
int MakePrivateFolder(const fs::path& folder, bool* taken, std::string* error) {
    *taken = false;
    // mkdir fails on any name that is there, a link included: nothing is ever adopted.
    if (mkdir(folder.c_str(), 0700) == 0)
        return 1;
    *taken = errno == EEXIST;
    *error = "cannot create " + Printable(folder) + ": " + strerror(errno);
    return 0;
}

void WaitForSignals(sigset_t set) {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    RemoveRegistered();
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
}
#endif

} // namespace

fs::path FolderOf(const fs::path& output) {
    return output.has_parent_path() ? output.parent_path() : fs::path(".");
}

int MakeTemporaryFolder(const fs::path& parent, fs::path* folder, std::string* error,
                        const SuffixSource& suffixes) {
    for (int tries = 0; tries < 4; ++tries) {
        std::string suffix;
        if (!(suffixes ? suffixes(&suffix) : RandomHexSuffix(&suffix))) {
            *error = "no random name for a temporary folder";
            return 0;
        }
        const fs::path candidate = parent / (".mkupdate-" + suffix + ".dir");
        bool taken = false;
        if (MakePrivateFolder(candidate, &taken, error)) {
            *folder = candidate;
            return 1;
        }
        if (!taken)
            return 0;
    }
    *error = "every temporary name drawn in " + Printable(parent) +
             " was taken already; none of them is used";
    return 0;
}

void RemoveOnSignal() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, sig);
    // Blocked here, so in every thread started later; one thread of its own takes them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(WaitForSignals, set).detach();
#endif
}

void EndIfInterrupted(long pid) {
    std::lock_guard<std::mutex> hold(registered_mutex);
    child = pid;
}

void RemoveIfInterrupted(const fs::path& path) {
    std::lock_guard<std::mutex> hold(registered_mutex);
    registered.insert(path);
}

void Forget(const fs::path& path) {
    std::lock_guard<std::mutex> hold(registered_mutex);
    registered.erase(path);
}

OwnedFolder::~OwnedFolder() {
    if (path_.empty())
        return;
    std::error_code ec;
    fs::remove_all(path_, ec);
    Forget(path_);
}

int OwnedFolder::Make(const fs::path& parent, std::string* error) {
    fs::path made;
    if (!MakeTemporaryFolder(parent, &made, error))
        return 0;
    path_ = made;
    RemoveIfInterrupted(path_);
    return 1;
}

int OwnedFolder::Remove(std::string* error) {
    std::error_code ec;
    fs::remove_all(path_, ec);
    if (ec) {
        *error = "cannot remove the temporary folder " + Printable(path_) + ": " + ec.message();
        return 0;
    }
    Forget(path_);
    path_.clear();
    return 1;
}

int OwnedFolder::MoveTo(const fs::path& target, std::string* error) {
    std::error_code ec;
    // An empty folder at the target gives way; anything else was refused before the work.
    if (fs::is_directory(fs::symlink_status(target, ec)) && fs::is_empty(target, ec))
        fs::remove(target, ec);
    fs::rename(path_, target, ec);
    if (ec) {
        *error = "cannot put " + Printable(target) + " in place: " + ec.message();
        return 0;
    }
    Forget(path_);
    path_.clear();
#ifndef _WIN32
    // The folder was the user's alone while it was filled; as the output it takes the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(target.c_str(), 0777 & ~mask);
#endif
    return 1;
}
