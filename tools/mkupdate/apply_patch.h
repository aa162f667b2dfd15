// verify --expect: a payload applied to a copy of an older release, by the updater's rules, so
// that a publisher can see without Windows what each installation turns into.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/payload_integrity.h"
#include "mkupdate/payload_file.h"

class VolumeStream;

// Applies the payload (index: its decoded index; record: its intact integrity record) to tree,
// a copy of an installation laid out as installed, with the install and data folder both tree
// and the registry's InstMode installedMode, as UPDATE.exe would:
// - the version checks (e items) first, whatever their selector;
// - then each UpdateFileNN that applies, in order, on what the earlier ones left: its write
//   rule (Always, Update by time stamp, Data kept when there, Overwrite only over a file,
//   OverwriteOnly), its entry named by its file name or by its path (entries named by their
//   folders), rebuilt from its delta when the file there is one of the recorded bases, kept
//   when it already is the new file, else written whole when the payload has a whole copy;
// - the DataFolder level made by every item; the other folders of a path only when the payload
//   requires new folders, which then also lets a file the patch deletes give way to a folder
//   of the same name, and a folder whose every file it deletes give way to a file;
// - then the DeleteFileNN files (not those the run writes), and the folders they leave empty
//   inside the game's folders.
// Disc copies are not made; told says so. A run the updater would stop (a failed version
// check, a file of another version, a folder in the way, an entry missing) is a problem naming
// why, and the tree is then not what the updater leaves (it leaves the installation as it was).
// Returns 1 when the run went through.
int ApplyPayloadToTree(const PayloadImage& image, const uint8_t* index,
                       const IntegrityRecord& record, VolumeStream* volumes,
                       const std::filesystem::path& tree, int installedMode,
                       std::vector<std::string>* told, std::vector<std::string>* problems);
