// Replacing the resources of a PE executable: the resource section is parsed, edited as a list
// and written anew in place, which works because it is the image's last section, so nothing
// else moves.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "pe/resource_tree.h"

// The resources of the image in file. Without copyData their data stays empty and dataOffset
// says where it lies in the file.
int ReadPeResources(const std::vector<uint8_t>& file, bool copyData,
                    std::vector<Resource>* resources, std::string* error);
// The same for a file that lies elsewhere (a mapping).
int ReadPeResources(const uint8_t* file, uint64_t size, bool copyData,
                    std::vector<Resource>* resources, std::string* error);

// A copy of stub whose resource section holds resources instead, with the section's sizes,
// the image size, the resource directory and the checksum made to match. Refuses a stub whose
// resource section is not last, or that carries anything the rebuild would lose (a signature,
// symbols or other bytes after that section).
int RebuildResourceSection(const std::vector<uint8_t>& stub, const std::vector<Resource>& resources,
                           std::vector<uint8_t>* out, std::string* error);
// The same as parts to be written one after another: borrowed data (a payload) stays borrowed.
int RebuildResourceSection(const std::vector<uint8_t>& stub, const std::vector<Resource>& resources,
                           std::vector<OutputPart>* out, std::string* error);

// The updater's payload: type "UPDATE", id 102, Japanese.
const uint16_t kPayloadResourceId = 102;
const uint16_t kPayloadLanguage = 0x0411;

// Makes payload the one resource UPDATE/102, whatever languages it had before. The payload is
// borrowed, not copied: it must outlive the resources and what is laid out of them.
void SetPayloadResource(std::vector<Resource>* resources, const uint8_t* payload, size_t size);
inline void SetPayloadResource(std::vector<Resource>* resources,
                               const std::vector<uint8_t>& payload) {
    SetPayloadResource(resources, payload.data(), payload.size());
}
void SetPayloadResource(std::vector<Resource>* resources, std::vector<uint8_t>&& payload) = delete;
// The resource UPDATE/102, preferring the Japanese one; null when there is none.
const Resource* FindPayloadResource(const std::vector<Resource>& resources);
