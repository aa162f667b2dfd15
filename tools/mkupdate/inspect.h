// What mkupdate tells about a payload archive, and how it takes one apart.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mkupdate/payload_file.h"

// One line per entry: decoded and stored size (64-bit), method ("chunked" for a placed entry),
// scrambling, time stamp (UTC), where its bytes lie (the image, or the volumes they run through)
// and name; then the deltas and the volumes. The integrity record is no entry of the game and
// is told in a last line instead.
int ListPayload(const PayloadImage& image, std::string* listing, std::string* error);

// Decodes the index and every entry and collects every way in which the image departs from
// what the writer makes and the updater expects, each entry whose bytes do not match their hash
// in the integrity record among them, and each delta that disagrees with its descriptor. With
// bases (older releases laid out as installed), the deltas whose bases are there are applied
// and their results checked (mkupdate/inspect_deltas.h); what was applied is told in told. 1
// when there is no problem. The volumes (found in image.folder) are checked whole, each by its
// size and SHA-256; a missing, short or damaged one is a problem that names it, and the entries
// in it are not read.
int VerifyPayload(const PayloadImage& image, std::vector<std::string>* problems,
                  const std::vector<std::filesystem::path>& bases = {},
                  std::vector<std::string>* told = nullptr);

// Writes the entries (all of them, or those named, matched as the updater matches names) into
// dir with their time stamps. Names given that are not in the archive, and a damaged integrity
// record, are refused before anything is written; each file is written whole or not at all, and
// an entry whose bytes do not match their hash is not written. The integrity record and the
// deltas are no files of the game and are never written, not even when named; a file that
// travels only as deltas has nothing to write, which told tells when everything is extracted.
// Each entry is decoded and written piece by piece, whatever its size. When a chosen entry lies
// in the volumes, every volume is checked whole (size and SHA-256) before anything is written:
// a volume that is missing, short or damaged is named and nothing is written.
int ExtractPayload(const PayloadImage& image, const std::filesystem::path& dir,
                   const std::vector<std::string>& names, std::string* error,
                   std::vector<std::string>* told = nullptr);

// The payload applied to tree, a copy of an installation, by the updater's rules
// (mkupdate/apply_patch.h), once its index and integrity record are read and found intact. 1
// when the run went through.
int ApplyPayload(const PayloadImage& image, const std::filesystem::path& tree, int installedMode,
                 std::vector<std::string>* told, std::vector<std::string>* problems);

// The volumes an intact integrity record names; 0 without them.
uint32_t CoveredVolumeCount(const PayloadImage& image);

// One line telling whether the payload is covered by integrity data.
std::string DescribeCoverage(const PayloadImage& image);

// A FILETIME as "YYYY-MM-DD hh:mm:ss" (UTC).
std::string FormatFileTime(uint64_t time);
