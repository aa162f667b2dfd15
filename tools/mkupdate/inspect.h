// What mkupdate tells about a payload archive, and how it takes one apart.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// One line per entry: decoded and stored size, methods, time stamp (UTC) and name; the
// integrity record is no entry of the game and is told in a last line instead.
int ListPayload(const std::vector<uint8_t>& image, std::string* listing, std::string* error);

// Decodes the index and every entry and collects every way in which the image departs from
// what the writer makes and the updater expects, each entry whose bytes do not match their hash
// in the integrity record among them, and each delta that disagrees with its descriptor. With
// bases (older releases laid out as installed), the deltas whose bases are there are applied
// and their results checked (mkupdate/inspect_deltas.h); what was applied is told in told. 1
// when there is no problem.
int VerifyPayload(const std::vector<uint8_t>& image, std::vector<std::string>* problems,
                  const std::vector<std::filesystem::path>& bases = {},
                  std::vector<std::string>* told = nullptr);

// Writes the entries (all of them, or those named, matched as the updater matches names) into
// dir with their time stamps. Names given that are not in the archive, and a damaged integrity
// record, are refused before anything is written; each file is written whole or not at all, and
// an entry whose bytes do not match their hash is not written. The integrity record and the
// deltas are no files of the game and are never written, not even when named; a file that
// travels only as deltas has nothing to write, which told tells when everything is extracted.
// Scrambled entries are unscrambled inside *image, which is left unusable, so that no copy of
// them is needed.
int ExtractPayload(std::vector<uint8_t>* image, const std::filesystem::path& dir,
                   const std::vector<std::string>& names, std::string* error,
                   std::vector<std::string>* told = nullptr);

// One line telling whether the payload is covered by integrity data.
std::string DescribeCoverage(const std::vector<uint8_t>& image);

// A FILETIME as "YYYY-MM-DD hh:mm:ss" (UTC).
std::string FormatFileTime(uint64_t time);
