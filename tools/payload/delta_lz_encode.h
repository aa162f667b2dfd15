// Encoder of the delta format's lz stream method (archive/delta_format.h, method 3): copies
// within the stream itself, found through hash chains and chosen by a cost-driven parse, with
// the literals, the three kinds of codes and the extra bits each stored the smaller way (as
// they are, or order-0 entropy).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "archive/delta_model.h"

// Appends the lz stream of [data, data + size) to *out; *partsSize gets the decoded size of its
// parts, which the applier keeps beside the window's streams.
void EncodeLzStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out, size_t* partsSize);

// The encoder's side of one kind of stream's modeled coder state (archive/delta_model.h): the
// models and the history as the applier will have them, and the chains over that history.
class ModeledStreamEncoder {
  public:
    ModeledStreamEncoder();
    ~ModeledStreamEncoder();
    ModeledStreamEncoder(const ModeledStreamEncoder&) = delete;
    ModeledStreamEncoder& operator=(const ModeledStreamEncoder&) = delete;

    // Appends the modeled stream of [data, data + size), the next stream of this kind, to *out,
    // and its bytes to the history. The models are then as the applier's after decoding it.
    void Encode(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
    // The window stores the stream just encoded another way: the models go back to what they
    // were before it (its bytes stay in the history, as they do in the applier's).
    void Discard();
    // Adds a stream of this kind that was not given to Encode to the history.
    void Append(const uint8_t* data, size_t size);

  private:
    struct State;
    State* state_;
    void Trim();
};
