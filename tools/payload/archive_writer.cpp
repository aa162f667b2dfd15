#include "payload/archive_writer.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "archive/payload_large.h"
#include "archive/scramble.h"
#include "payload/chunk_writer.h"
#include "payload/compress.h"

namespace {

void PutRecord(std::vector<uint8_t>* index, const std::string& name, bool compressed,
               bool scrambled, uint64_t time, uint32_t decodedSize, uint32_t storedSize) {
    uint8_t rec[kArchiveEntrySize];
    memset(rec, 0, sizeof rec);
    memcpy(rec + kEntryNameOffset, name.data(), name.size());
    rec[kEntryStoreMethodOffset] = compressed ? kStoreCompressed : kStoreRaw;
    rec[kEntryScrambleMethodOffset] = scrambled ? kScrambled : kScrambleNone;
    StoreLE64(rec + kEntryTimeOffset, time);
    StoreLE32(rec + kEntryDecodedSizeOffset, decodedSize);
    StoreLE32(rec + kEntryStoredSizeOffset, storedSize);
    index->insert(index->end(), rec, rec + sizeof rec);
}

// The reserved name, compared as the updater compares names (ASCII letters without case).
bool IsReservedName(const std::string& name) {
    const size_t length = sizeof kIntegrityEntryName - 1;
    if (name.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char a = name[i], b = kIntegrityEntryName[i];
        if (a >= 'a' && a <= 'z')
            a = (char)(a - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}

// Input is let go of this often while a large entry is read.
const uint64_t kReleaseEvery = 64ull << 20;

// One entry's stored bytes as one stream: compressed when asked (and, with onlyWhenSmaller,
// when that is smaller), then scrambled. *compressed tells which.
void EncodeWhole(const ArchiveInput& e, const ArchiveOptions& o, std::vector<uint8_t>* stored,
                 bool* compressed) {
    stored->clear();
    *compressed = e.compress;
    if (e.compress) {
        CompressBlock(e.data, (size_t)e.size, o.level, stored);
        *compressed = !o.onlyWhenSmaller || stored->size() < e.size;
    }
    if (!*compressed)
        stored->assign(e.data, e.data + e.size);
    if (e.scramble)
        Scramble(stored->data(), (uint32_t)stored->size());
}

// One chunk's stored bytes and its table word.
uint32_t EncodeOneChunk(const uint8_t* data, uint32_t size, bool compress, bool scramble,
                        CompressLevel level, std::vector<uint8_t>* stored) {
    if (compress)
        return EncodeChunk(data, size, level, scramble, stored);
    stored->assign(data, data + size);
    if (scramble && size)
        Scramble(stored->data(), size);
    return size;
}

// Encodes an entry chunk by chunk: the table words into *table, each chunk's stored bytes to
// sink, its decoded bytes hashed into *sha when given. 0 when sink fails.
template <typename Sink>
int EncodeChunks(const ArchiveInput& e, const ArchiveOptions& o, std::vector<uint8_t>* table,
                 Sha256Context* sha, Sink sink) {
    const uint32_t count = ChunkCountFor(e.size, o.chunkSize);
    table->assign(ChunkTableSize(count), 0);
    std::vector<uint8_t> stored;
    uint32_t word = 0;
    uint64_t sinceRelease = 0;
    for (uint32_t c = 0; c < count; ++c) {
        const uint64_t at = (uint64_t)c * o.chunkSize;
        const uint32_t n = (uint32_t)std::min<uint64_t>(o.chunkSize, e.size - at);
        // A chunk equal to the one before (a run of zeros in a disk image, say) is stored as
        // that one was, without compressing it again.
        const bool again =
            c > 0 && n == o.chunkSize && memcmp(e.data + at - n, e.data + at, n) == 0;
        if (!again)
            word = EncodeOneChunk(e.data + at, n, e.compress, e.scramble, o.level, &stored);
        StoreLE32(table->data() + (size_t)c * 4, word);
        if (sha)
            Sha256Update(sha, e.data + at, n);
        if (!sink(stored.data(), stored.size()))
            return 0;
        sinceRelease += n;
        if (sinceRelease >= kReleaseEvery && e.release) {
            e.release();
            sinceRelease = 0;
        }
    }
    if (e.release)
        e.release();
    return 1;
}

// The stored bytes of every entry until the layout is known: in a temporary file beside the
// output for a payload that may be large, otherwise in memory.
class Spool {
  public:
    ~Spool() {
        if (!path_.empty()) {
            file_.close();
            std::error_code ec;
            std::filesystem::remove(path_, ec);
        }
    }
    int Open(const std::filesystem::path& path) {
        path_ = path;
        if (path.empty())
            return 1;
        file_.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
        return file_.is_open() ? 1 : 0;
    }
    uint64_t size() const { return size_; }
    int Write(const uint8_t* data, size_t n) {
        if (path_.empty()) {
            memory_.insert(memory_.end(), data, data + n);
        } else {
            file_.seekp((std::streamoff)size_);
            file_.write((const char*)data, (std::streamsize)n);
            if (!file_)
                return 0;
        }
        size_ += n;
        return 1;
    }
    int Read(uint64_t at, uint8_t* to, size_t n) {
        if (path_.empty()) {
            memcpy(to, memory_.data() + at, n);
            return 1;
        }
        file_.seekg((std::streamoff)at);
        file_.read((char*)to, (std::streamsize)n);
        return file_ ? 1 : 0;
    }

  private:
    std::filesystem::path path_;
    std::fstream file_;
    std::vector<uint8_t> memory_;
    uint64_t size_ = 0;
};

// What the first pass made of one entry.
struct Encoded {
    bool placed = false;
    bool compressed = false;   // a whole entry's
    uint64_t at = 0, size = 0; // its stored bytes in the spool (a placed entry's chunks only)
    std::vector<uint8_t> table;
    uint8_t digest[kSha256Size];
    // In the volumes: where its stored bytes begin in the volume stream, and how many.
    bool inVolumes = false;
    uint64_t volumeAt = 0, volumeSize = 0;
};

// The volume stream cut into files of at most the limit, each hashed as it is written.
class VolumeWriter {
  public:
    VolumeWriter(const VolumeOptions& o, WrittenVolumes* out) : o_(o), out_(out) {}
    uint64_t total() const { return total_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<uint8_t>& digests() const { return digests_; }

    int Write(const uint8_t* data, uint64_t n, std::string* error) {
        while (n) {
            if (!file_.is_open() && !Next(error))
                return 0;
            const uint64_t take = std::min<uint64_t>(n, o_.volumeLimit - inCurrent_);
            file_.write((const char*)data, (std::streamsize)take);
            if (!file_) {
                *error = "cannot write the volume " + out_->final.back().string();
                return 0;
            }
            Sha256Update(&sha_, data, (size_t)take);
            data += take;
            n -= take;
            inCurrent_ += take;
            total_ += take;
            if (inCurrent_ == o_.volumeLimit && !Close(error))
                return 0;
        }
        return 1;
    }
    int Close(std::string* error) {
        if (!file_.is_open())
            return 1;
        file_.close();
        if (!file_) {
            *error = "cannot write the volume " + out_->final.back().string();
            return 0;
        }
        digests_.resize(digests_.size() + kSha256Size);
        Sha256Final(&sha_, digests_.data() + digests_.size() - kSha256Size);
        out_->sizes.push_back(inCurrent_);
        return 1;
    }

  private:
    int Next(std::string* error) {
        const size_t number = out_->final.size() + 1;
        if (number > kMaxVolumes) {
            *error = "the payload would need more than " + std::to_string(kMaxVolumes) +
                     " volumes: raise the volume limit";
            return 0;
        }
        char suffix[8];
        snprintf(suffix, sizeof suffix, ".%03u", (unsigned)number);
        const std::string name = o_.stemCp932 + suffix;
        if (name.size() >= kEntryNameSize || !VolumeNameValid(name.c_str())) {
            *error = "the volumes cannot be named after '" + o_.stem +
                     "': the name is too long or not one Windows allows";
            return 0;
        }
        const std::filesystem::path temp = o_.temporaryName();
        if (temp.empty()) {
            *error = "no random name for a temporary file";
            return 0;
        }
        out_->temporary.push_back(temp);
        out_->final.push_back(o_.folder / std::filesystem::u8path(o_.stem + suffix));
        names_.push_back(name);
        file_.open(temp, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!file_.is_open()) {
            *error = "cannot create a volume beside " + out_->final.back().string();
            return 0;
        }
        Sha256Init(&sha_);
        inCurrent_ = 0;
        return 1;
    }

    const VolumeOptions& o_;
    WrittenVolumes* out_;
    std::ofstream file_;
    Sha256Context sha_;
    uint64_t inCurrent_ = 0, total_ = 0;
    std::vector<std::string> names_;
    std::vector<uint8_t> digests_;
};

// Copies n spooled bytes from at to sink, a piece at a time.
template <typename Sink> int CopySpooled(Spool* spool, uint64_t at, uint64_t n, Sink sink) {
    std::vector<uint8_t> piece((size_t)std::min<uint64_t>(n, 4u << 20));
    while (n) {
        const size_t take = (size_t)std::min<uint64_t>(n, piece.size());
        if (!spool->Read(at, piece.data(), take) || !sink(piece.data(), take))
            return 0;
        at += take;
        n -= take;
    }
    return 1;
}

uint64_t Padded64(uint64_t n) {
    return (n + (kEntryAlignment - 1)) & ~(uint64_t)(kEntryAlignment - 1);
}

int Fail(std::string* error, const std::string& why) {
    *error = why;
    return 0;
}

} // namespace

uint64_t StoredSizeOf(const uint8_t* data, uint64_t size, CompressLevel level, uint64_t placeOver,
                      uint32_t chunkSize, uint64_t stopAbove,
                      const std::function<void()>& release) {
    ArchiveOptions o(0, level, true);
    o.chunkSize = chunkSize;
    ArchiveInput e{"", data, size, 0, true, false, false, release};
    if (size <= placeOver) {
        std::vector<uint8_t> stored;
        bool compressed;
        EncodeWhole(e, o, &stored, &compressed);
        return stored.size();
    }
    uint64_t total = ChunkTableSize(ChunkCountFor(size, chunkSize));
    std::vector<uint8_t> table;
    EncodeChunks(e, o, &table, nullptr, [&](const uint8_t*, size_t n) {
        total += n;
        return total <= stopAbove ? 1 : 0;
    });
    if (release)
        release();
    return total;
}

int BuildArchiveWith(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                     std::vector<uint8_t>* image, std::string* error, WrittenVolumes* volumes) {
    const uint32_t indexFlags = options.indexFlags;
    const VolumeOptions& vo = options.volumes;
    const uint32_t deltaCount = (uint32_t)(options.deltaDescriptors.size() / kDeltaDescriptorSize);
    if (options.deltaDescriptors.size() % kDeltaDescriptorSize != 0 ||
        (deltaCount && !options.integrity))
        return Fail(error, "delta descriptors need the integrity record and whole descriptors");
    const bool samples = !options.deltaSamples.empty();
    if (samples && options.deltaSamples.size() != (size_t)deltaCount * kDeltaSampleSize)
        return Fail(error, "delta samples need one pair for each delta descriptor");
    if (options.placeOver != UINT64_MAX && !options.integrity)
        return Fail(error, "placed entries need the integrity record");

    // The first pass: every entry encoded into the spool, hashed, in index order.
    Spool spool;
    if (!spool.Open(vo.temporaryName ? vo.temporaryName() : std::filesystem::path()))
        return Fail(error, "cannot create a temporary file beside the output");
    std::vector<Encoded> encoded(entries.size());
    std::vector<uint8_t> stored;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ArchiveInput& e = entries[i];
        Encoded& x = encoded[i];
        if (e.name.empty() || e.name.size() >= kEntryNameSize ||
            memchr(e.name.data(), 0, e.name.size()))
            return Fail(error,
                        "entry name '" + e.name + "' is empty, too long or holds a NUL byte");
        if (IsReservedName(e.name))
            return Fail(error, "entry name '" + e.name + "' is reserved for the integrity record");
        x.placed = e.size > options.placeOver || (e.place && options.integrity);
        if (x.placed && (e.size - 1) / options.chunkSize >= UINT32_MAX)
            return Fail(error, "entry '" + e.name + "' has more chunks than a table can count");
        x.at = spool.size();
        if (!x.placed) {
            if (e.size > UINT32_MAX)
                return Fail(error, "entry '" + e.name + "' is larger than 4 GiB");
            EncodeWhole(e, options, &stored, &x.compressed);
            if (!spool.Write(stored.data(), stored.size()))
                return Fail(error, "cannot write a temporary file beside the output");
            if (options.integrity)
                Sha256(e.data, (size_t)e.size, x.digest);
            if (e.release)
                e.release();
        } else {
            Sha256Context sha;
            Sha256Init(&sha);
            if (!EncodeChunks(e, options, &x.table, &sha,
                              [&](const uint8_t* p, size_t n) { return spool.Write(p, n); }))
                return Fail(error, "cannot write a temporary file beside the output");
            Sha256Final(&sha, x.digest);
        }
        x.size = spool.size() - x.at;
    }

    // Every entry in the image, unless that makes it larger than the limit: then every entry
    // not kept goes to the volumes. An empty entry stays, taking no room: a volume is never
    // empty.
    // The image's size is counted with the index uncompressed: near the limit a payload goes
    // to volumes a little early rather than past the limit.
    const uint64_t tail =
        IntegrityRecordSize((uint32_t)entries.size(), true, deltaCount, nullptr, samples) +
        2 * kLargeSectionHeaderSize + kEntryAlignment +
        (uint64_t)entries.size() * kPlacedEntrySize +
        (entries.size() + 1) * (uint64_t)kArchiveEntrySize + 4096;
    uint64_t whole = kArchiveHeaderSize + tail;
    for (const Encoded& x : encoded)
        whole += Padded64(x.table.size() + x.size);
    WrittenVolumes ownVolumes;
    WrittenVolumes* wv = volumes ? volumes : &ownVolumes;
    *wv = WrittenVolumes();
    const bool toVolumes = whole > vo.imageLimit;
    std::unique_ptr<VolumeWriter> writer;
    const auto dropVolumes = [&]() {
        writer.reset();
        std::error_code ec;
        for (const std::filesystem::path& p : wv->temporary)
            std::filesystem::remove(p, ec);
        *wv = WrittenVolumes();
    };
    if (toVolumes) {
        if (!vo.temporaryName || !volumes)
            return Fail(error, "the payload is larger than its image may be, and this command "
                               "writes no volumes");
        writer.reset(new VolumeWriter(vo, wv));
        error->clear();
        std::vector<uint8_t> chunks;
        for (size_t i = 0; i < entries.size(); ++i) {
            const ArchiveInput& e = entries[i];
            Encoded& x = encoded[i];
            if (e.keep || e.size == 0)
                continue;
            const auto sink = [&](const uint8_t* p, size_t n) {
                return writer->Write(p, n, error);
            };
            x.volumeAt = writer->total();
            int ok = 1;
            if (x.placed) {
                ok =
                    sink(x.table.data(), x.table.size()) && CopySpooled(&spool, x.at, x.size, sink);
            } else if (e.size <= options.chunkSize) {
                // One chunk: the stream already made, behind a table of one word.
                uint8_t word[4];
                StoreLE32(word, (uint32_t)x.size | (x.compressed ? kChunkCompressed : 0));
                ok = sink(word, 4) && CopySpooled(&spool, x.at, x.size, sink);
                x.table.assign(word, word + 4);
            } else {
                // A whole entry of several chunks is encoded again, in memory: it is no larger
                // than placeOver.
                chunks.clear();
                EncodeChunks(e, options, &x.table, nullptr, [&](const uint8_t* p, size_t n) {
                    chunks.insert(chunks.end(), p, p + n);
                    return 1;
                });
                ok = sink(x.table.data(), x.table.size()) && sink(chunks.data(), chunks.size());
            }
            if (!ok) {
                if (error->empty())
                    *error = "cannot read a temporary file beside the output";
                dropVolumes();
                return 0;
            }
            x.placed = x.inVolumes = true;
            x.volumeSize = writer->total() - x.volumeAt;
        }
        if (!writer->Close(error)) {
            dropVolumes();
            return 0;
        }
    }

    // The image: the header, the entries it holds, the record, the index.
    std::vector<uint8_t> out(kArchiveHeaderSize, 0);
    // Room for all of it at once, so that the image is not moved as it grows: moving it would
    // hold it twice.
    uint64_t room = kArchiveHeaderSize + tail + (uint64_t)kVolumeRecordSize * wv->final.size();
    for (size_t i = 0; i < entries.size(); ++i)
        room += encoded[i].inVolumes ? 0 : Padded64(encoded[i].table.size() + encoded[i].size);
    if (room <= UINT32_MAX)
        out.reserve((size_t)room);
    std::vector<uint8_t> index, digests, placed;
    uint32_t placedCount = 0;
    const auto tooLarge = [&]() {
        dropVolumes();
        return Fail(error, toVolumes ? "what stays in the image (UPDATE.INI, the texts, the index "
                                       "and the record) is larger than the limit"
                                     : "the archive would be larger than 4 GiB");
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        const ArchiveInput& e = entries[i];
        const Encoded& x = encoded[i];
        uint64_t storedSize = 0;
        if (!x.inVolumes) {
            storedSize = x.table.size() + x.size;
            if (out.size() + storedSize > UINT32_MAX || out.size() + storedSize > vo.imageLimit)
                return tooLarge();
            const size_t start = out.size();
            out.insert(out.end(), x.table.begin(), x.table.end());
            out.resize(start + (size_t)storedSize);
            if (!spool.Read(x.at, out.data() + start + x.table.size(), (size_t)x.size)) {
                dropVolumes();
                return Fail(error, "cannot read a temporary file beside the output");
            }
            out.resize(start + (size_t)PaddedSize((uint32_t)storedSize), 0);
        }
        if (x.placed) {
            PutRecord(&index, e.name, true, e.scramble, e.time, 0, (uint32_t)storedSize);
            const PlacedEntry p{(uint32_t)i,
                                x.inVolumes ? kPlacedInVolumes : 0,
                                x.inVolumes ? x.volumeAt : 0,
                                x.inVolumes ? x.volumeSize : storedSize,
                                e.size,
                                options.chunkSize,
                                ChunkCountFor(e.size, options.chunkSize)};
            placed.resize(placed.size() + kPlacedEntrySize);
            WritePlacedEntry(p, placed.data() + placed.size() - kPlacedEntrySize);
            ++placedCount;
        } else {
            PutRecord(&index, e.name, x.compressed, e.scramble, e.time, (uint32_t)e.size,
                      (uint32_t)storedSize);
        }
        if (options.integrity)
            digests.insert(digests.end(), x.digest, x.digest + kSha256Size);
    }
    const uint32_t volumeCount = writer ? (uint32_t)wv->final.size() : 0;
    std::vector<uint8_t> volumeRecords((size_t)volumeCount * kVolumeRecordSize);
    for (uint32_t v = 0; v < volumeCount; ++v)
        WritePayloadVolume(PayloadVolume{writer->names()[v].c_str(), wv->sizes[v],
                                         writer->digests().data() + (size_t)v * kSha256Size},
                           volumeRecords.data() + (size_t)v * kVolumeRecordSize);
    const LargeSections large{placed.data(), placedCount, volumeRecords.data(), volumeCount};
    // The record's size is known before its contents: it takes its place now and is filled in
    // once the index it describes is final.
    const size_t recordOffset = out.size();
    uint32_t recordSize = 0;
    if (options.integrity) {
        recordSize =
            IntegrityRecordSize((uint32_t)entries.size(), true, deltaCount, &large, samples);
        if (out.size() + PaddedSize(recordSize) > std::min<uint64_t>(UINT32_MAX, vo.imageLimit))
            return tooLarge();
        out.resize(out.size() + (size_t)PaddedSize(recordSize), 0);
        PutRecord(&index, kIntegrityEntryName, false, false, 0, recordSize, recordSize);
    }
    // The decoded records, kept for the index digest.
    const std::vector<uint8_t> records = options.integrity ? index : std::vector<uint8_t>();
    const size_t indexOffset = out.size();
    if (indexFlags & kIndexCompressed) {
        stored.clear();
        CompressBlock(index.data(), index.size(), options.level, &stored);
        index.swap(stored);
    }
    if (indexOffset + index.size() > std::min<uint64_t>(UINT32_MAX, vo.imageLimit))
        return tooLarge();
    if (indexFlags & kIndexScrambled)
        Scramble(index.data(), (uint32_t)index.size());
    out.insert(out.end(), index.begin(), index.end());

    memcpy(out.data() + kHeaderMagicOffset, "QV2", 4);
    StoreLE32(out.data() + kHeaderFlagsOffset, indexFlags & (kIndexCompressed | kIndexScrambled));
    StoreLE32(out.data() + kHeaderIndexOffsetOffset, (uint32_t)indexOffset);
    StoreLE32(out.data() + kHeaderEntryCountOffset,
              (uint32_t)entries.size() + (options.integrity ? 1 : 0));
    if (options.integrity) {
        std::vector<uint8_t> block(out.data(), out.data() + kArchiveHeaderSize);
        block.insert(block.end(), records.begin(), records.end());
        uint8_t indexDigest[kSha256Size], imageDigest[kSha256Size];
        IndexDigest(block.data(), indexDigest);
        ImageDigest(out.data(), (uint32_t)out.size(), (uint32_t)recordOffset, recordSize,
                    imageDigest);
        const uint32_t features =
            options.requiredFeatures | (placedCount ? PAYLOAD_FEATURE_LARGE : 0);
        WriteIntegrityRecord(features, indexDigest, imageDigest, (uint32_t)entries.size(),
                             digests.data(), out.data() + recordOffset, deltaCount,
                             options.deltaDescriptors.data(), &large,
                             samples ? options.deltaSamples.data() : nullptr);
    }
    image->swap(out);
    return 1;
}

int BuildArchive(const std::vector<ArchiveInput>& entries, uint32_t indexFlags,
                 std::vector<uint8_t>* image, std::string* error) {
    return BuildArchiveWith(entries, ArchiveOptions{indexFlags, kCompressFast, false}, image,
                            error);
}
