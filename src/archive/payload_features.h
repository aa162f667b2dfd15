/* The payload features an updater can read, as bits of a 32-bit mask. A payload names the ones
   a reader must know (its integrity record's required features); the updater declares the ones
   it knows in a resource of its own, which mkupdate build compares before embedding. Only
   preprocessor lines: the resource compiler reads this file too. */
#pragma once

/* Bit 0: the payload's integrity record (hashes of the index and of every entry). */
#define PAYLOAD_FEATURE_INTEGRITY 0x00000001L

/* Bit 1: delta entries, which rebuild a file from the copy an older release installed. */
#define PAYLOAD_FEATURE_DELTAS 0x00000002L

/* Every feature this updater knows. */
#define UPDATER_PAYLOAD_FEATURES (PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS)

/* The declaration resource: type PAYLOADFEATURES, id 1, holding the magic "QVFT" and the mask
   as a 32-bit little-endian number. A stub without it knows no feature. */
#define PAYLOAD_FEATURES_RESOURCE_ID 1
