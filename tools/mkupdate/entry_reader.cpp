#include "mkupdate/entry_reader.h"
#include "mkupdate/index_memory.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "archive/archive_index.h"
#include "archive/scramble.h"
#include "archive/sha256.h"
#include "mkupdate/host_files.h"

namespace {

// How much of the image is read between two lettings-go of its pages.
const uint64_t kLetGoEvery = 16u << 20;

std::string VolumeShown(const PayloadVolume& v) {
    return "volume " + ShownCp932(v.name);
}

FILE* OpenForReading(const std::filesystem::path& file) {
#ifdef _WIN32
    return _wfopen(file.c_str(), L"rb");
#else
    return fopen(file.c_str(), "rb");
#endif
}

int SeekTo(FILE* f, uint64_t position) {
#ifdef _WIN32
    return _fseeki64(f, (__int64)position, SEEK_SET) == 0;
#else
    return fseeko(f, (off_t)position, SEEK_SET) == 0;
#endif
}

int ReadStored(void* context, uint64_t offset, uint8_t* to, uint32_t n) {
    const EntryPuller::Stored* s = (const EntryPuller::Stored*)context;
    if (offset > s->size || n > s->size - offset)
        return 0;
    if (s->volumes)
        return s->volumes->Read(s->volumeOffset + offset, to, n);
    const uint64_t at = s->dataOffset + offset;
    if (at > s->image->size || n > s->image->size - at)
        return 0;
    memcpy(to, s->image->data + at, n);
    return 1;
}

EntryReadResult FromChunked(ChunkReadResult r) {
    switch (r) {
    case kChunkRead:
        return kEntryReadOk;
    case kChunkNoMemory:
        return kEntryReadNoMemory;
    case kChunkDamaged:
        return kEntryReadDamaged;
    default:
        return kEntryReadFailed;
    }
}

} // namespace

VolumeStream::VolumeStream(const std::filesystem::path& folder, const IntegrityRecord& record)
    : folder_(folder) {
    uint64_t at = 0;
    for (uint32_t i = 0; i < record.volumeCount; ++i) {
        PayloadVolume v;
        ReadPayloadVolume(record.volumes, i, &v);
        volumes_.push_back(v);
        starts_.push_back(at);
        at += v.size;
    }
    files_.assign(volumes_.size(), nullptr);
}

VolumeStream::~VolumeStream() {
    for (FILE* f : files_)
        if (f)
            fclose(f);
}

std::filesystem::path VolumeStream::PathOf(uint32_t i) const {
    std::string utf8;
    if (!Cp932ToUtf8(volumes_[i].name, &utf8))
        utf8 = volumes_[i].name;
    return folder_ / std::filesystem::u8path(utf8);
}

int VolumeStream::Read(uint64_t position, uint8_t* to, uint32_t n) {
    // The volume position lies in: the last that begins at or before it.
    size_t i =
        (size_t)(std::upper_bound(starts_.begin(), starts_.end(), position) - starts_.begin());
    if (i == 0)
        return 0;
    for (--i; n; ++i) {
        if (i >= volumes_.size()) {
            problem_ = "the volumes end before the bytes their record places in them";
            return 0;
        }
        const PayloadVolume& v = volumes_[i];
        const uint64_t inside = position - starts_[i];
        const uint32_t take = (uint32_t)std::min<uint64_t>(n, v.size - inside);
        if (!files_[i] && !(files_[i] = OpenForReading(PathOf((uint32_t)i)))) {
            problem_ = VolumeShown(v) + " is missing (looked for as " +
                       Printable(PathOf((uint32_t)i)) + ")";
            return 0;
        }
        if (!SeekTo(files_[i], inside) || fread(to, 1, take, files_[i]) != take) {
            problem_ = VolumeShown(v) + " is shorter than its " + std::to_string(v.size) +
                       " bytes, or cannot be read";
            return 0;
        }
        to += take;
        n -= take;
        position += take;
    }
    return 1;
}

int CheckVolumes(const VolumeStream& volumes, std::vector<std::string>* problems) {
    const size_t before = problems->size();
    std::vector<uint8_t> part(kEntryPieceSize);
    for (uint32_t i = 0; i < volumes.count(); ++i) {
        const PayloadVolume& v = volumes.volume(i);
        const std::filesystem::path file = volumes.PathOf(i);
        std::string why;
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) {
            problems->push_back(VolumeShown(v) + " is missing (looked for as " + Printable(file) +
                                ")");
            continue;
        }
        if (!CanReadHostFile(file, &why)) {
            problems->push_back(VolumeShown(v) + ": " + why);
            continue;
        }
        const uint64_t size = std::filesystem::file_size(file, ec);
        if (ec || size != v.size) {
            problems->push_back(VolumeShown(v) + " is " +
                                (size < v.size ? "short" : "longer than its record says") + ": " +
                                std::to_string(size) + " bytes, its record says " +
                                std::to_string(v.size));
            continue;
        }
        FILE* f = OpenForReading(file);
        Sha256Context c;
        Sha256Init(&c);
        uint64_t at = 0;
        while (f && at < size) {
            const size_t n = (size_t)std::min<uint64_t>(part.size(), size - at);
            if (fread(part.data(), 1, n, f) != n)
                break;
            Sha256Update(&c, part.data(), n);
            at += n;
        }
        if (f)
            fclose(f);
        uint8_t digest[kSha256Size];
        Sha256Final(&c, digest);
        if (at != size)
            problems->push_back(VolumeShown(v) + " cannot be read");
        else if (memcmp(digest, v.digest, kSha256Size) != 0)
            problems->push_back(VolumeShown(v) +
                                " is damaged: its bytes do not match their SHA-256 in the "
                                "integrity record");
    }
    return problems->size() == before;
}

std::vector<EntryPlace> Places(const uint8_t* index, const IntegrityRecord* record) {
    std::vector<EntryPlace> places(IndexEntryCount(index));
    uint64_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i < places.size(); ++i) {
        EntryPlace& p = places[i];
        p.rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
        p.position = i;
        p.dataOffset = offset;
        p.placed = record && record->placedCount &&
                   FindPlacedEntry(record->placed, record->placedCount, i, &p.entry);
        offset += PaddedSize(EntryStoredSize(p.rec));
    }
    return places;
}

EntryPlace PlaceAt(const uint8_t* index, const IntegrityRecord* record, uint32_t position) {
    return Places(index, record)[position];
}

uint64_t DecodedSizeOf(const EntryPlace& place) {
    return place.placed ? place.entry.decodedSize : EntryDecodedSize(place.rec);
}

EntryPuller::EntryPuller(const PayloadImage& image, const EntryPlace& place, VolumeStream* volumes)
    : image_(image), place_(place) {
    const bool inVolumes = place.placed && (place.entry.flags & kPlacedInVolumes);
    stored_ = Stored{&image, place.dataOffset,
                     place.placed ? place.entry.storedSize : EntryStoredSize(place.rec),
                     inVolumes ? volumes : nullptr, inVolumes ? place.entry.offset : 0};
    size_ = DecodedSizeOf(place);
    if (inVolumes && !volumes) {
        opened_ = kEntryReadFailed;
        return;
    }
    if (!inVolumes &&
        (place.dataOffset > image.size || stored_.size > image.size - place.dataOffset)) {
        opened_ = kEntryReadDamaged;
        return;
    }
    if (place.placed) {
        opened_ =
            FromChunked(OpenChunkedReader(place.entry, EntryIsScrambled(place.rec) != 0, ReadStored,
                                          &stored_, AllocBlock, FreeBlock, &chunked_));
        chunkedOpen_ = opened_ == kEntryReadOk;
    } else if (EntryIsCompressed(place.rec)) {
        const EntryDecodeResult r = DecodeEntry(place.rec, image.data + place.dataOffset,
                                                AllocBlock, FreeBlock, &bytes_, &block_);
        opened_ = r == kEntryDecoded    ? kEntryReadOk
                  : r == kEntryNoMemory ? kEntryReadNoMemory
                                        : kEntryReadDamaged;
    }
}

EntryPuller::~EntryPuller() {
    if (chunkedOpen_)
        CloseChunkedReader(&chunked_);
    free(block_);
}

ptrdiff_t EntryPuller::Pull(uint8_t* to, size_t size) {
    if (opened_ != kEntryReadOk || failure_ != kEntryReadOk) {
        failure_ = opened_ != kEntryReadOk ? opened_ : failure_;
        return -1;
    }
    const size_t n = (size_t)std::min<uint64_t>({(uint64_t)size, size_ - at_, UINT32_MAX});
    if (!n)
        return 0;
    if (place_.placed) {
        const EntryReadResult r = FromChunked(ReadChunked(&chunked_, to, (uint32_t)n));
        if (r != kEntryReadOk) {
            failure_ = r;
            return -1;
        }
    } else if (bytes_) {
        memcpy(to, bytes_ + at_, n);
    } else {
        memcpy(to, image_.data + place_.dataOffset + at_, n);
        if (EntryIsScrambled(place_.rec))
            ScrambleRange(to, (uint32_t)n, (uint32_t)at_, EntryStoredSize(place_.rec));
    }
    at_ += n;
    if (at_ - letGoAt_ >= kLetGoEvery) {
        image_.LetGo();
        letGoAt_ = at_;
    }
    return (ptrdiff_t)n;
}

EntryReadResult ReadEntry(const PayloadImage& image, const EntryPlace& place, VolumeStream* volumes,
                          EntryPieceFn piece, void* context) {
    EntryPuller puller(image, place, volumes);
    if (puller.opened() != kEntryReadOk)
        return puller.opened();
    std::vector<uint8_t> part((size_t)std::min<uint64_t>(kEntryPieceSize, DecodedSizeOf(place)));
    for (;;) {
        const ptrdiff_t n = puller.Pull(part.data(), part.size());
        if (n < 0)
            return puller.failure();
        if (n == 0)
            return kEntryReadOk;
        if (!piece(context, part.data(), (size_t)n))
            return kEntryReadStopped;
    }
}

std::string EntryReadProblem(EntryReadResult result, const VolumeStream* volumes) {
    switch (result) {
    case kEntryReadDamaged:
        return "its stored bytes do not decode";
    case kEntryReadNoMemory:
        return "no memory to decode it";
    case kEntryReadFailed:
        return volumes && !volumes->problem().empty() ? volumes->problem()
                                                      : "its stored bytes cannot be read";
    default:
        return "its reading was stopped";
    }
}
