// A patch folder with older releases beside it, and what the tests of deltas read back from the
// payloads made of them.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// A patch and three releases laid out as installed (DataFolder "game"). The patch has items
// for data\BIG.DAT (Update), PROG.DAT (Always), OPT.DAT (Overwrite, a few bytes) and SAVE.DAT
// (Data), and NOTE.TXT that no item names; every file but OPT.DAT is large enough for a delta
// to pay. A and B hold other versions of BIG.DAT; their PROG.DAT is one and the same; C has no
// BIG.DAT. The patch's files carry one fixed time stamp.
struct Releases {
    std::filesystem::path patch, a, b, c;
};
Releases MakeReleases(const std::filesystem::path& root);

// The FILETIME the patch's files carry.
const uint64_t kPatchFileTime = (1700000000ull + 11644473600ull) * 10000000ull;

// One delta of a payload: its descriptor and where its entry lies.
struct DeltaSeen {
    uint32_t position;
    std::string name; // the entry's
    std::string target;
    uint64_t time, baseSize, resultSize;
    std::vector<uint8_t> baseDigest, resultDigest;
    std::vector<uint8_t> bytes; // the entry's decoded bytes
    uint32_t storedOffset, storedSize;
};

struct Payload {
    std::vector<uint8_t> image;
    uint32_t entryCount = 0; // the record's entry included
    std::vector<std::string> names;
    std::vector<DeltaSeen> deltas;
    bool flagged = false; // some delta's header carries flags (modeled streams)
    bool HasEntry(const std::string& name) const; // without regard to ASCII case
};

// Reads the payload file; its index and integrity record must be whole.
Payload ReadPayload(const std::filesystem::path& file);

// Delta n rebuilds newFile, named target, from baseFile: its entry's name, its descriptor's
// sizes, digests and time, and its bytes applied to the base.
void ExpectDelta(const Payload& p, size_t n, const std::string& target,
                 const std::filesystem::path& baseFile, const std::filesystem::path& newFile);

// The first 16 hex digits of the file's SHA-256.
std::string HexStart(const std::filesystem::path& file);

// The payload pack made of dir before deltas existed: every file whole, in the order of its
// path, compressed when smaller and scrambled, with the integrity record.
std::string WholeFilesPayload(const std::filesystem::path& dir);

// The stored size of the file's whole entry at the best level.
uint64_t WholeStoredSize(const std::filesystem::path& file);

// A copy of stub whose PAYLOADFEATURES resource declares features.
void WriteStubDeclaring(const std::filesystem::path& stub, uint32_t features,
                        const std::filesystem::path& out);

// Every file under dir by its relative path, with the SHA-256 of its bytes.
std::map<std::string, std::string> TreeOf(const std::filesystem::path& dir);
