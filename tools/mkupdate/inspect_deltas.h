// What list and verify tell of a payload's deltas (archive/payload_deltas.h), and verify's
// applying them to older releases. index: a decoded index block (header, then records) of
// image; record: its integrity record, checked whole against it.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/payload_integrity.h"
#include "mkupdate/payload_file.h"

class VolumeStream;

// The features mkupdate reads: what its list, verify and extract understand.
const uint32_t kToolPayloadFeatures = PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS |
                                      PAYLOAD_FEATURE_FOLDER_NAMES | PAYLOAD_FEATURE_DELETIONS |
                                      PAYLOAD_FEATURE_LONG_LISTS | PAYLOAD_FEATURE_LARGE |
                                      PAYLOAD_FEATURE_MODELED_DELTAS | PAYLOAD_FEATURE_NEW_FOLDERS;

// Lines for list: each delta (its entry, base size and the start of its SHA-256, result size,
// target) and, for each target, whether a whole copy travels beside its deltas. Empty without
// deltas.
std::string ListDeltas(const uint8_t* index, const IntegrityRecord& record);

// verify's checks of the deltas: each delta entry decodes to a delta whose header agrees with
// its descriptor on both sizes, and carries header flags only when the payload requires modeled
// deltas; no entry bears a delta's name without a descriptor naming it;
// no two deltas of one target share a base; a delta and a whole copy of one target rebuild the
// same bytes. record may be null when the payload has no intact integrity record; volumes, when
// its volumes cannot be read (a delta that lies there is then not read).
void CheckDeltas(const PayloadImage& image, const uint8_t* index, const IntegrityRecord* record,
                 VolumeStream* volumes, std::vector<std::string>* problems);

// verify --base: for each base (an older release laid out as installed) and each path an
// Always, Update or Overwrite item of the payload's UPDATE.INI writes a delta's target to, the
// file there is matched with the target's deltas by size and SHA-256, and the delta it matches
// applied and its result compared with the descriptor's size and SHA-256. What was applied is
// told; a result that differs, and a file an installation like the base would be refused for
// (no matching delta and no whole copy), are problems.
// Deltas are read piece by piece and bases by position: neither is held whole.
void ApplyDeltasToBases(const PayloadImage& image, const uint8_t* index,
                        const IntegrityRecord& record, VolumeStream* volumes,
                        const std::vector<std::filesystem::path>& bases,
                        std::vector<std::string>* told, std::vector<std::string>* problems);

// The targets that travel only as deltas: the descriptors' targets with no entry of their name.
std::vector<std::string> DeltaOnlyTargets(const uint8_t* index, const IntegrityRecord& record);
