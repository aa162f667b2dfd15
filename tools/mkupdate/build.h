// mkupdate build: a folder packed and embedded into a copy of the updater stub.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "payload/compress.h"
#include "pe/resource_tree.h"

// The stub taken when none is given: UPDATE.exe beside the running mkupdate.
std::filesystem::path DefaultStub();

// The payload features the stub declares it reads: its resource PAYLOADFEATURES/1, the magic
// "QVFT" and a 32-bit mask. A stub without the resource reads none (0). 0 and a reason when the
// resource is there but malformed.
int StubPayloadFeatures(const std::vector<Resource>& resources, uint32_t* features,
                        std::string* error);

// The features a reader of the payload must know: those its integrity record requires, 0 when
// it has none. 0 and a reason when the index or the record is damaged.
int PayloadRequiredFeatures(const std::vector<uint8_t>& payload, uint32_t* features,
                            std::string* error);

// A feature mask for messages: "0x00000003 (integrity, deltas)", "0x00000000 (none)".
std::string DescribeFeatures(uint32_t features);

// Embeds payload into a copy of the stub as resource UPDATE/102 (Japanese), replacing any
// there, and writes the result to output through a temporary file. A payload that requires a
// feature the stub does not declare is refused, the feature named. A signed stub's signature
// could not cover the new payload: it is dropped, and *droppedSignature says so.
int EmbedPayload(const std::filesystem::path& stub, const std::vector<uint8_t>& payload,
                 const std::filesystem::path& output, std::string* error,
                 bool* droppedSignature = nullptr);
