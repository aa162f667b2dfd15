// A PE resource section as a flat list of resources, read from and written back to the
// three-level tree (type, name, language) that the loader searches.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A type or a name: an integer id, or a string (UTF-16) when named.
struct ResourceKey {
    bool named;
    uint16_t id;
    std::u16string name;
};

struct Resource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language;
    uint32_t codePage;
    std::vector<uint8_t> data;
    uint32_t dataOffset; // where the data lay in the section it was read from
    uint32_t dataSize;
    // When set, the data is not copied into data but lies here, dataSize bytes, and must
    // outlive every layout made of it: a payload of many GiB is never held twice.
    const uint8_t* borrowed = nullptr;
};

// The bytes of a resource, wherever they are.
inline const uint8_t* ResourceBytes(const Resource& r) {
    return r.borrowed ? r.borrowed : r.data.data();
}
inline size_t ResourceSize(const Resource& r) {
    return r.borrowed ? r.dataSize : r.data.size();
}

// One stretch of a file being laid out: bytes of its own, or bytes borrowed from data that
// outlives it. A file is written part by part, so that borrowed bytes are never copied.
struct OutputPart {
    std::vector<uint8_t> own;
    const uint8_t* borrowed = nullptr;
    size_t borrowedSize = 0;
    const uint8_t* data() const { return borrowed ? borrowed : own.data(); }
    size_t size() const { return borrowed ? borrowedSize : own.size(); }
};

// The parts joined, for what is small enough to hold whole.
std::vector<uint8_t> JoinParts(const std::vector<OutputPart>& parts);

ResourceKey ResourceId(uint16_t id);
ResourceKey ResourceName(const char* ascii);
bool SameKey(const ResourceKey& a, const ResourceKey& b);
// The loader's order: names before ids, names by their UTF-16 units, ids by value.
bool KeyBefore(const ResourceKey& a, const ResourceKey& b);

// Reads the tree that starts at the beginning of section [bytes, bytes + size), whose first
// byte the loader maps at sectionRva. Every resource's data must lie inside the section; it is
// copied into each Resource only with copyData.
int ReadResourceTree(const uint8_t* bytes, size_t size, uint32_t sectionRva, bool copyData,
                     std::vector<Resource>* resources, std::string* error);

// Lays out the section for resources, sorted as the loader expects: directories level by
// level, then the data entries, the names and the data, each datum 8-byte aligned. Borrowed
// data stays borrowed in its own part.
std::vector<OutputPart> LayOutResourceTree(const std::vector<Resource>& resources,
                                           uint32_t sectionRva);
std::vector<uint8_t> WriteResourceTree(const std::vector<Resource>& resources, uint32_t sectionRva);
