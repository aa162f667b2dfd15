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
// and the registry's InstMode installedMode, as UPDATE.exe would: the version checks (e items)
// first, whatever their selector; then the updater's own planner (update/run_plan.h) decides,
// from what stands in the tree, what the UpdateFileNN and DeleteFileNN items do (the write
// rules, OverwriteOnly, entries by name or path, deltas matched by size and SHA-256, the folders
// made), and its actions are carried out on the tree; last, the folders that deletions leave
// empty go, never the tree or its DataFolder folder. Disc copies are not made; told says so. A
// run the updater would stop (a failed version check, a refused plan) is a problem naming why
// in the updater's words, and the tree is then not what the updater leaves (it leaves the
// installation as it was). Returns 1 when the run went through.
int ApplyPayloadToTree(const PayloadImage& image, const uint8_t* index,
                       const IntegrityRecord& record, VolumeStream* volumes,
                       const std::filesystem::path& tree, int installedMode,
                       std::vector<std::string>* told, std::vector<std::string>* problems);
