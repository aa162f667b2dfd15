// What mkupdate writes before it is whole: folders of its own beside the output, made new with a
// random name and only the user's rights, and the promise that an interrupted run (INT, TERM,
// HUP, or a console closed on Windows) leaves none of them behind.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

// A random suffix of 16 hexadecimal digits; 0 when none can be had.
typedef std::function<int(std::string*)> SuffixSource;

// Makes a new folder ".mkupdate-<suffix>.dir" in parent that only the user may read, write or
// enter. A name that is taken is never adopted, whatever it holds: another name is drawn, a few
// times, then the command fails. Any failure is told in error.
int MakeTemporaryFolder(const std::filesystem::path& parent, std::filesystem::path* folder,
                        std::string* error, const SuffixSource& suffixes = SuffixSource());

// The folder an output lies in ("." for a bare name).
std::filesystem::path FolderOf(const std::filesystem::path& output);

// From now on, INT, TERM and HUP remove every path registered below before the process ends
// with the signal. Called once, before any other thread starts.
void RemoveOnSignal();

// Registers a path (a file or a folder with everything in it) that a signal removes; Forget
// drops it once the path is the output or gone.
void RemoveIfInterrupted(const std::filesystem::path& path);
void Forget(const std::filesystem::path& path);

// A child process (the signer) that a signal ends, and waits for, before the paths are removed,
// so that it writes nothing after them; 0 when there is none.
void EndIfInterrupted(long pid);

// A temporary folder owned by one command: removed with everything in it when the command ends
// without handing it on (Release), and registered for removal on a signal meanwhile.
class OwnedFolder {
  public:
    OwnedFolder() = default;
    OwnedFolder(const OwnedFolder&) = delete;
    OwnedFolder& operator=(const OwnedFolder&) = delete;
    ~OwnedFolder();
    int Make(const std::filesystem::path& parent, std::string* error);
    const std::filesystem::path& path() const { return path_; }
    // Removes the folder with everything in it; a folder that stays is a failure.
    int Remove(std::string* error);
    // Renames the folder to target, which must not exist or be an empty folder.
    int MoveTo(const std::filesystem::path& target, std::string* error);

  private:
    std::filesystem::path path_;
};
