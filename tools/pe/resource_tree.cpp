#include "pe/resource_tree.h"

#include <string.h>

#include <algorithm>

#include "archive/archive_format.h"

namespace {

const uint32_t kDirectoryHeaderSize = 16;
const uint32_t kDirectoryEntrySize = 8;
const uint32_t kDataEntrySize = 16;
const uint32_t kHighBit = 0x80000000u;

inline uint16_t LoadLE16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
inline void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

struct TreeReader {
    const uint8_t* bytes;
    size_t size;
    uint32_t sectionRva;
    bool copyData;
    std::vector<Resource>* out;
    std::string* error;
    size_t entriesSeen;
    uint64_t dataSeen; // bytes of data and names copied so far
};

int Damaged(TreeReader* r, const std::string& what) {
    *r->error = "damaged resource section: " + what;
    return 0;
}

int ReadKey(TreeReader* r, uint32_t nameField, ResourceKey* key) {
    key->named = (nameField & kHighBit) != 0;
    key->id = 0;
    key->name.clear();
    if (!key->named) {
        if (nameField > 0xFFFF)
            return Damaged(r, "an id above 65535");
        key->id = (uint16_t)nameField;
        return 1;
    }
    const uint32_t at = nameField & ~kHighBit;
    if ((uint64_t)at + 2 > r->size)
        return Damaged(r, "a name outside the section");
    const uint32_t units = LoadLE16(r->bytes + at);
    if ((uint64_t)at + 2 + (uint64_t)units * 2 > r->size)
        return Damaged(r, "a name outside the section");
    r->dataSeen += (uint64_t)units * 2;
    if (r->dataSeen > 2 * (uint64_t)r->size)
        return Damaged(r, "resources that share their data");
    for (uint32_t i = 0; i < units; ++i)
        key->name.push_back((char16_t)LoadLE16(r->bytes + at + 2 + i * 2));
    return 1;
}

int ReadData(TreeReader* r, uint32_t at, Resource* res) {
    if ((uint64_t)at + kDataEntrySize > r->size)
        return Damaged(r, "a data entry outside the section");
    const uint32_t rva = LoadLE32(r->bytes + at);
    const uint32_t length = LoadLE32(r->bytes + at + 4);
    res->codePage = LoadLE32(r->bytes + at + 8);
    if (rva < r->sectionRva || (uint64_t)(rva - r->sectionRva) + length > r->size)
        return Damaged(r, "resource data outside the section");
    // Data entries and names may share bytes, but many sharing much would make the copies
    // explode.
    r->dataSeen += length;
    if (r->dataSeen > 2 * (uint64_t)r->size)
        return Damaged(r, "resources that share their data");
    res->dataOffset = rva - r->sectionRva;
    res->dataSize = length;
    if (r->copyData)
        res->data.assign(r->bytes + res->dataOffset, r->bytes + res->dataOffset + length);
    return 1;
}

// level 0: types, 1: names, 2: languages.
int ReadDirectory(TreeReader* r, uint32_t at, int level, Resource* path) {
    if ((uint64_t)at + kDirectoryHeaderSize > r->size)
        return Damaged(r, "a directory outside the section");
    const uint32_t count = (uint32_t)LoadLE16(r->bytes + at + 12) + LoadLE16(r->bytes + at + 14);
    if ((uint64_t)at + kDirectoryHeaderSize + (uint64_t)count * kDirectoryEntrySize > r->size)
        return Damaged(r, "a directory's entries outside the section");
    // A tree whose directories share entries could make the walk explode; one whose entries
    // each have their own bytes visits no more of them than the section holds.
    r->entriesSeen += count;
    if (r->entriesSeen > r->size / kDirectoryEntrySize)
        return Damaged(r, "directories that share their entries");
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = r->bytes + at + kDirectoryHeaderSize + i * kDirectoryEntrySize;
        const uint32_t nameField = LoadLE32(e);
        const uint32_t target = LoadLE32(e + 4);
        const bool isDirectory = (target & kHighBit) != 0;
        if (isDirectory != (level < 2))
            return Damaged(r, "the tree is not three levels deep");
        if (level == 0) {
            if (!ReadKey(r, nameField, &path->type) ||
                !ReadDirectory(r, target & ~kHighBit, 1, path))
                return 0;
        } else if (level == 1) {
            if (!ReadKey(r, nameField, &path->name) ||
                !ReadDirectory(r, target & ~kHighBit, 2, path))
                return 0;
        } else {
            if (nameField > 0xFFFF)
                return Damaged(r, "a language that is no language id");
            path->language = (uint16_t)nameField;
            if (!ReadData(r, target, path))
                return 0;
            r->out->push_back(*path);
        }
    }
    return 1;
}

// Data from this size up keeps a part of its own rather than being copied.
const size_t kBorrowAtLeast = 1u << 16;

uint32_t Align(uint32_t v, uint32_t to) {
    return (v + to - 1) & ~(to - 1);
}

bool ResourceBefore(const Resource& a, const Resource& b) {
    if (KeyBefore(a.type, b.type) || KeyBefore(b.type, a.type))
        return KeyBefore(a.type, b.type);
    if (KeyBefore(a.name, b.name) || KeyBefore(b.name, a.name))
        return KeyBefore(a.name, b.name);
    return a.language < b.language;
}

// Directory contents of the sorted list: runs of equal keys.
struct Run {
    size_t first, count;
};

std::vector<Run> Runs(const std::vector<Resource>& list, size_t first, size_t end,
                      bool (*same)(const Resource&, const Resource&)) {
    std::vector<Run> runs;
    for (size_t i = first; i < end; ++i) {
        if (runs.empty() || !same(list[runs.back().first], list[i]))
            runs.push_back(Run{i, 0});
        ++runs.back().count;
    }
    return runs;
}

bool SameType(const Resource& a, const Resource& b) {
    return SameKey(a.type, b.type);
}
bool SameTypeAndName(const Resource& a, const Resource& b) {
    return SameKey(a.type, b.type) && SameKey(a.name, b.name);
}

void PutDirectoryHeader(uint8_t* p, const std::vector<ResourceKey>& keys) {
    memset(p, 0, kDirectoryHeaderSize);
    uint16_t named = 0, ids = 0;
    for (const ResourceKey& k : keys)
        ++(k.named ? named : ids);
    StoreLE16(p + 12, named);
    StoreLE16(p + 14, ids);
}

} // namespace

ResourceKey ResourceId(uint16_t id) {
    return ResourceKey{false, id, std::u16string()};
}

ResourceKey ResourceName(const char* ascii) {
    ResourceKey k{true, 0, std::u16string()};
    for (; *ascii; ++ascii)
        k.name.push_back((char16_t)(unsigned char)*ascii);
    return k;
}

bool SameKey(const ResourceKey& a, const ResourceKey& b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

bool KeyBefore(const ResourceKey& a, const ResourceKey& b) {
    if (a.named != b.named)
        return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}

int ReadResourceTree(const uint8_t* bytes, size_t size, uint32_t sectionRva, bool copyData,
                     std::vector<Resource>* resources, std::string* error) {
    TreeReader r{bytes, size, sectionRva, copyData, resources, error, 0, 0};
    resources->clear();
    Resource path{};
    return ReadDirectory(&r, 0, 0, &path);
}

std::vector<uint8_t> JoinParts(const std::vector<OutputPart>& parts) {
    std::vector<uint8_t> joined;
    for (const OutputPart& part : parts)
        joined.insert(joined.end(), part.data(), part.data() + part.size());
    return joined;
}

std::vector<uint8_t> WriteResourceTree(const std::vector<Resource>& resources,
                                       uint32_t sectionRva) {
    return JoinParts(LayOutResourceTree(resources, sectionRva));
}

std::vector<OutputPart> LayOutResourceTree(const std::vector<Resource>& resources,
                                           uint32_t sectionRva) {
    // Sorted without copying any resource's data.
    std::vector<Resource> list;
    list.reserve(resources.size());
    for (const Resource& r : resources) {
        Resource key{r.type,
                     r.name,
                     r.language,
                     r.codePage,
                     {},
                     r.dataOffset,
                     (uint32_t)ResourceSize(r),
                     ResourceBytes(r)};
        list.push_back(std::move(key));
    }
    std::stable_sort(list.begin(), list.end(), ResourceBefore);
    const std::vector<Run> types = Runs(list, 0, list.size(), SameType);
    std::vector<std::vector<Run>> names;
    for (const Run& t : types)
        names.push_back(Runs(list, t.first, t.first + t.count, SameTypeAndName));

    // Where everything goes: root, type directories, name directories, data entries, names,
    // data.
    uint32_t at = kDirectoryHeaderSize + (uint32_t)types.size() * kDirectoryEntrySize;
    std::vector<uint32_t> typeDirAt, nameDirAt;
    for (size_t t = 0; t < types.size(); ++t) {
        typeDirAt.push_back(at);
        at += kDirectoryHeaderSize + (uint32_t)names[t].size() * kDirectoryEntrySize;
    }
    for (size_t t = 0; t < types.size(); ++t)
        for (const Run& n : names[t]) {
            nameDirAt.push_back(at);
            at += kDirectoryHeaderSize + (uint32_t)n.count * kDirectoryEntrySize;
        }
    const uint32_t dataEntriesAt = at;
    at += (uint32_t)list.size() * kDataEntrySize;
    // Each distinct string once, in the order first used.
    std::vector<std::u16string> strings;
    std::vector<uint32_t> stringAt;
    const auto stringOffset = [&](const std::u16string& s) -> uint32_t {
        for (size_t i = 0; i < strings.size(); ++i)
            if (strings[i] == s)
                return stringAt[i];
        return UINT32_MAX;
    };
    for (const Resource& r : list)
        for (const ResourceKey* k : {&r.type, &r.name})
            if (k->named && stringOffset(k->name) == UINT32_MAX) {
                strings.push_back(k->name);
                stringAt.push_back(at);
                at += 2 + (uint32_t)k->name.size() * 2;
            }
    std::vector<uint32_t> dataAt;
    for (const Resource& r : list) {
        at = Align(at, 8);
        dataAt.push_back(at);
        at += (uint32_t)ResourceSize(r);
    }

    // The tree and names go into the first part; the data follow, each after its padding.
    std::vector<uint8_t> out(list.empty() ? at : dataAt[0], 0);
    uint8_t* p = out.data();
    const auto putEntry = [&](uint8_t* e, const ResourceKey& key, uint32_t target) {
        StoreLE32(e, key.named ? (stringOffset(key.name) | kHighBit) : key.id);
        StoreLE32(e + 4, target);
    };
    std::vector<ResourceKey> keys;
    for (const Run& t : types)
        keys.push_back(list[t.first].type);
    PutDirectoryHeader(p, keys);
    size_t nameDir = 0;
    for (size_t t = 0; t < types.size(); ++t) {
        putEntry(p + kDirectoryHeaderSize + t * kDirectoryEntrySize, list[types[t].first].type,
                 typeDirAt[t] | kHighBit);
        keys.clear();
        for (const Run& n : names[t])
            keys.push_back(list[n.first].name);
        PutDirectoryHeader(p + typeDirAt[t], keys);
        for (size_t n = 0; n < names[t].size(); ++n, ++nameDir) {
            const Run& run = names[t][n];
            putEntry(p + typeDirAt[t] + kDirectoryHeaderSize + n * kDirectoryEntrySize,
                     list[run.first].name, nameDirAt[nameDir] | kHighBit);
            keys.assign(run.count, ResourceId(0));
            PutDirectoryHeader(p + nameDirAt[nameDir], keys);
            for (size_t l = 0; l < run.count; ++l) {
                const size_t index = run.first + l;
                putEntry(p + nameDirAt[nameDir] + kDirectoryHeaderSize + l * kDirectoryEntrySize,
                         ResourceId(list[index].language),
                         dataEntriesAt + (uint32_t)index * kDataEntrySize);
            }
        }
    }
    for (size_t i = 0; i < list.size(); ++i) {
        uint8_t* e = p + dataEntriesAt + i * kDataEntrySize;
        StoreLE32(e, sectionRva + dataAt[i]);
        StoreLE32(e + 4, (uint32_t)ResourceSize(list[i]));
        StoreLE32(e + 8, list[i].codePage);
    }
    for (size_t i = 0; i < strings.size(); ++i) {
        StoreLE16(p + stringAt[i], (uint16_t)strings[i].size());
        for (size_t u = 0; u < strings[i].size(); ++u)
            StoreLE16(p + stringAt[i] + 2 + u * 2, (uint16_t)strings[i][u]);
    }
    std::vector<OutputPart> parts(1);
    parts[0].own.swap(out);
    uint64_t end = parts[0].own.size();
    for (size_t i = 0; i < list.size(); ++i) {
        if (parts.back().borrowed)
            parts.emplace_back();
        parts.back().own.resize(parts.back().own.size() + (size_t)(dataAt[i] - end), 0);
        const size_t size = ResourceSize(list[i]);
        // Small data is copied, so that a section of many resources is not many parts.
        if (size >= kBorrowAtLeast) {
            parts.emplace_back();
            parts.back().borrowed = ResourceBytes(list[i]);
            parts.back().borrowedSize = size;
        } else if (size) {
            const uint8_t* bytes = ResourceBytes(list[i]);
            parts.back().own.insert(parts.back().own.end(), bytes, bytes + size);
        }
        end = dataAt[i] + (uint64_t)size;
    }
    return parts;
}
