// Reading a payload's entries piece by piece, whatever their kind: stored as is (unscrambled as
// they are read), one compressed block (decoded whole, as the updater decodes it), or placed in
// chunks in the image or in the volumes (archive/payload_large.h), so that list, verify and
// extract hold at most one chunk or one block of an entry, whatever its size.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/payload_integrity.h"
#include "archive/payload_large.h"
#include "mkupdate/payload_file.h"

// A payload's volumes, read by position in the volume stream (the volumes one after another),
// each opened in the folder of the file the payload came from when first read.
class VolumeStream {
  public:
    VolumeStream(const std::filesystem::path& folder, const IntegrityRecord& record);
    VolumeStream(const VolumeStream&) = delete;
    VolumeStream& operator=(const VolumeStream&) = delete;
    ~VolumeStream();

    // n bytes from position; 0 when they cannot be read, and problem() tells which volume and
    // why.
    int Read(uint64_t position, uint8_t* to, uint32_t n);
    const std::string& problem() const { return problem_; }

    uint32_t count() const { return (uint32_t)volumes_.size(); }
    const PayloadVolume& volume(uint32_t i) const { return volumes_[i]; }
    // The volume's file, beside the payload's.
    std::filesystem::path PathOf(uint32_t i) const;

  private:
    std::filesystem::path folder_;
    std::vector<PayloadVolume> volumes_;
    std::vector<uint64_t> starts_; // where each volume begins in the stream
    std::vector<FILE*> files_;
    std::string problem_;
};

// Checks each volume against its record: there, of its size, and of its SHA-256, hashing it as
// it is read. Each problem names its volume; 1 when there is none.
int CheckVolumes(const VolumeStream& volumes, std::vector<std::string>* problems);

// Where an entry's stored bytes lie and how they are read.
struct EntryPlace {
    const uint8_t* rec = nullptr; // its index record
    uint32_t position = 0;        // in the index
    uint64_t dataOffset = 0;      // of its stored bytes in the image (entries in the image)
    bool placed = false;          // stored in chunks; then entry holds the descriptor
    PlacedEntry entry{};
};

// The entries of a decoded index (header, then records) in index order, with where each one's
// stored bytes lie, a placed one's descriptor taken from record (which may be null).
std::vector<EntryPlace> Places(const uint8_t* index, const IntegrityRecord* record);
// The same for the entry at position alone.
EntryPlace PlaceAt(const uint8_t* index, const IntegrityRecord* record, uint32_t position);

// The decoded size of an entry: the descriptor's for a placed one, the index's otherwise.
uint64_t DecodedSizeOf(const EntryPlace& place);

enum EntryReadResult {
    kEntryReadOk = 0,
    kEntryReadDamaged = 1, // its stored bytes do not decode to what the index says
    kEntryReadFailed = 2,  // its stored bytes could not be read (a volume missing or short)
    kEntryReadStopped = 3, // the caller's piece function said stop
    kEntryReadNoMemory = 4,
};

// Hands the entry's decoded bytes, in order, to piece (at most kEntryPieceSize bytes at a time);
// piece returns 0 to stop. volumes may be null when the entry lies in the image.
typedef int (*EntryPieceFn)(void* context, const uint8_t* bytes, size_t size);
const size_t kEntryPieceSize = 1u << 20;
EntryReadResult ReadEntry(const PayloadImage& image, const EntryPlace& place, VolumeStream* volumes,
                          EntryPieceFn piece, void* context);

// The entry's decoded bytes pulled as a delta applier pulls them.
class EntryPuller {
  public:
    EntryPuller(const PayloadImage& image, const EntryPlace& place, VolumeStream* volumes);
    EntryPuller(const EntryPuller&) = delete;
    EntryPuller& operator=(const EntryPuller&) = delete;
    ~EntryPuller();

    // kEntryReadOk when the entry could be opened.
    EntryReadResult opened() const { return opened_; }
    // Up to size of the next bytes: how many (0 at the end), or -1 and failure() on failure.
    ptrdiff_t Pull(uint8_t* to, size_t size);
    EntryReadResult failure() const { return failure_; }

    // Where the stored bytes come from; the chunk reader's context.
    struct Stored {
        const PayloadImage* image;
        uint64_t dataOffset; // in the image
        uint64_t size;
        VolumeStream* volumes; // when they lie in the volumes
        uint64_t volumeOffset;
    };

  private:
    const PayloadImage& image_;
    EntryPlace place_;
    Stored stored_;
    EntryReadResult opened_ = kEntryReadOk;
    EntryReadResult failure_ = kEntryReadOk;
    ChunkedReader chunked_{};
    bool chunkedOpen_ = false;
    uint8_t* block_ = nullptr; // a compressed entry, decoded whole
    const uint8_t* bytes_ = nullptr;
    uint64_t size_ = 0;    // decoded size
    uint64_t at_ = 0;      // decoded bytes handed out
    uint64_t letGoAt_ = 0; // where the image's pages were let go last
};

// One line of a failed read, for messages: "does not decode", "a volume ...".
std::string EntryReadProblem(EntryReadResult result, const VolumeStream* volumes);
