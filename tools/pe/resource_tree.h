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
};

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
// level, then the data entries, the names and the data, each datum 8-byte aligned.
std::vector<uint8_t> WriteResourceTree(std::vector<Resource> resources, uint32_t sectionRva);
