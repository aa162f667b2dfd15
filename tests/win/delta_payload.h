// Payloads that carry deltas, for tests of the update run: whole entries, then one delta entry
// per base, described in the integrity record the way mkupdate describes them.
#pragma once

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/file_sample.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "payload/archive_writer.h"
#include "support/simple_delta.h"

struct WholeFile {
    std::string name, bytes;
};

struct DeltaFile {
    std::string target; // the entry name the result stands for
    std::string base, result;
};

typedef std::function<int(std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                          std::vector<uint8_t>* image, std::string* error)>
    PayloadBuilder;

// 1 and the image, or 0; every file and delta time-stamped with time. The record requires
// features beyond integrity and deltas. build, when given, builds the image of the entries.
// Without samples, the record is one of the writers that gave none.
inline int BuildDeltaPayload(const std::vector<WholeFile>& wholes,
                             const std::vector<DeltaFile>& deltas, uint64_t time,
                             std::vector<uint8_t>* image, uint32_t features = 0,
                             const PayloadBuilder& build = nullptr, bool samples = true) {
    std::vector<std::vector<uint8_t>> coded;
    std::vector<std::string> names;
    for (const DeltaFile& d : deltas) {
        coded.push_back(SimpleDelta(std::vector<uint8_t>(d.base.begin(), d.base.end()),
                                    std::vector<uint8_t>(d.result.begin(), d.result.end())));
        char name[kDeltaEntryNameCapacity];
        DeltaEntryName((uint32_t)names.size(), name);
        names.push_back(name);
    }
    std::vector<ArchiveInput> inputs;
    for (const WholeFile& w : wholes)
        inputs.push_back(
            ArchiveInput{w.name, (const uint8_t*)w.bytes.data(), w.bytes.size(), time, true, true});
    ArchiveOptions options(kIndexCompressed | kIndexScrambled, kCompressFast, true);
    options.integrity = true;
    options.requiredFeatures = features;
    for (size_t i = 0; i < deltas.size(); ++i) {
        const DeltaFile& d = deltas[i];
        uint8_t baseDigest[kSha256Size], resultDigest[kSha256Size];
        Sha256(d.base.data(), d.base.size(), baseDigest);
        Sha256(d.result.data(), d.result.size(), resultDigest);
        PayloadDelta p{(uint32_t)inputs.size(), d.target.c_str(), time, d.base.size(), baseDigest,
                       d.result.size(),         resultDigest};
        inputs.push_back(
            ArchiveInput{names[i], coded[i].data(), coded[i].size(), time, true, true});
        uint8_t descriptor[kDeltaDescriptorSize];
        WriteDeltaDescriptor(p, descriptor);
        options.deltaDescriptors.insert(options.deltaDescriptors.end(), descriptor,
                                        descriptor + kDeltaDescriptorSize);
        if (samples) {
            uint8_t sampled[kDeltaSampleSize];
            SampleOfMemory((const uint8_t*)d.base.data(), d.base.size(), sampled);
            SampleOfMemory((const uint8_t*)d.result.data(), d.result.size(), sampled + kSha256Size);
            options.deltaSamples.insert(options.deltaSamples.end(), sampled,
                                        sampled + kDeltaSampleSize);
        }
    }
    std::string error;
    return build ? build(inputs, options, image, &error)
                 : BuildArchiveWith(inputs, options, image, &error);
}
