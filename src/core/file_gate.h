// The one way the elevated updater opens, creates, renames, deletes and changes files and
// folders. A path is acted on only beneath a folder the gate holds (the recorded install or
// data folder, the run's own folder in the temporary folder), name by name from that folder's
// handle, never through a link: a name whose handle is a reparse point, or whose final path is
// not the held folder's final path followed by the names, is refused, and so is any place in
// the Windows folder. Every folder from the held one down to a name the gate acted on stays
// open without delete sharing until the gate lets it go, so that nobody can rename it away and
// put a link in its place between a check and an act. Files are renamed, deleted and changed
// through their own handles. Outside the held folders the gate only opens files to read them.
//
// The platform calls go through PlatformOps and DirectOps: NtCreateFile with the held folder as
// root, SetFileInformationByHandle for rename, removal and attributes. Where a platform refuses
// a rename relative to a root folder, the held folder's final path names the place instead; the
// folder cannot move while it is held.
#pragma once

#include <windows.h>

#include "core/text.h"

// Holds folder as a place the gate acts beneath, or, when it is missing, the folder above it
// (which must be there). A game folder (lasting 0) goes with GateReleaseRun and is refused, as
// is every place below it, in the Windows folder; a lasting one (the program's own temporary
// folder, which may lie there for a system account) stays until the program ends. A game folder
// is refused when its final path is not its name (a link at it or above it); any folder is
// refused when it is a link the platform marks. 1 when held.
int GateHoldBase(const char* folder, int lasting);
// Lets every folder a run held go, lasting ones excepted.
void GateReleaseRun();

enum GateOpenKind {
    kGateExisting,     // a file or a folder that is there
    kGateExistingFile, // a file that is there
    kGateNewFile       // a file created now; anything at the name, a link included, refuses it
};
// Opens path below a held folder with the given access and sharing; INVALID_HANDLE_VALUE when
// the platform refuses or the gate does (a link, a place outside, the Windows folder).
HANDLE GateOpen(const char* path, DWORD access, DWORD share, GateOpenKind kind);

// 1 when the gate holds the folder at path (one it made or walked through, or a base).
int GateHolds(const char* path);
// Creates a folder (one level) and holds it. Fails when anything stands at the name.
int GateCreateFolder(const char* path);
// Removes an empty folder, held or not.
int GateRemoveFolder(const char* path);

// Renames the file at from to to (replacing what is there when replace is 1).
int GateRename(const char* from, const char* to, int replace);
// Renames an open file (opened with DELETE access) to to.
int GateRenameHandle(HANDLE file, const char* to, int replace);
// Deletes a file, its read-only mark cleared first.
int GateDelete(const char* path);
// Deletes an open file (opened with DELETE access); it goes when the handle closes.
int GateDeleteHandle(HANDLE file);
// Sets the attributes of a file or folder. A file with more than one name is refused: its
// other names may lie anywhere.
int GateSetAttributes(const char* path, DWORD attributes);
// Sets the attributes of an open file (opened with write-attributes access).
int GateSetHandleAttributes(HANDLE file, DWORD attributes);
// Reserves room for a file about to be written size bytes long, without changing its length:
// the system then lays it out at once, and writes that extend it need not each grow it. 1 when
// reserved; a file that is not reserved is still written, only more slowly.
int GateReserveRoom(HANDLE file, uint64_t size);
// Removes a link at path as the link itself, never what it leads to. Where the platform
// cannot open a link as itself, the link stays and 0 says so.
int GateRemoveLink(const char* path);

// Opens a file or folder anywhere for reading or asking only (access without any right to
// change), with FILE_FLAG_BACKUP_SEMANTICS so that folders open too.
HANDLE GateOpenToRead(const char* path, DWORD access, DWORD share, DWORD flags);
