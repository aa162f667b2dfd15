// verify --base OLD --expect NEW: each older release copied into a folder of mkupdate's own,
// the payload applied to the copy (mkupdate/apply_patch.h), and the result compared with the
// new release file by file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mkupdate/payload_file.h"

// The differences between the trees result and expected, one line each, paths relative to
// them: a file or folder missing from result, one result has that expected has not, a file of
// other bytes (its sizes, or where it first differs), one that is a file on one side and a
// folder on the other. Names are compared as Windows compares them, without ASCII case.
std::vector<std::string> CompareTrees(const std::filesystem::path& result,
                                      const std::filesystem::path& expected);

// For each base, the payload applied to a copy of it (by installedMode's items) and the result
// compared with expected; every difference is a problem naming the base and the path. What
// agrees is told.
void VerifyAgainstRelease(const PayloadImage& image,
                          const std::vector<std::filesystem::path>& bases,
                          const std::filesystem::path& expected, int installedMode,
                          std::vector<std::string>* told, std::vector<std::string>* problems);
