/* The payload features an updater can read, as bits of a 32-bit mask. A payload names the ones
   a reader must know (its integrity record's required features); the updater declares the ones
   it knows in a resource of its own, which mkupdate build compares before embedding. Only
   preprocessor lines: the resource compiler reads this file too. */
#pragma once

/* Bit 0: the payload's integrity record (hashes of the index and of every entry). */
#define PAYLOAD_FEATURE_INTEGRITY 0x00000001L

/* Bit 1: delta entries, which rebuild a file from the copy an older release installed. */
#define PAYLOAD_FEATURE_DELTAS 0x00000002L

/* Bit 2: large payloads (archive/payload_large.h): entries of any 64-bit size stored in
   independent chunks, and volumes beside UPDATE.exe holding entries' bytes. */
#define PAYLOAD_FEATURE_LARGE 0x00000004L

/* Bit 3: entries named by their path in the game's folder (backslashes), so that files of one
   name in different folders travel in one payload; an item's entry is the one named by its whole
   path. */
#define PAYLOAD_FEATURE_FOLDER_NAMES 0x00000008L

/* Bit 4: UPDATE.INI's DeleteFileNN items, files the update removes. */
#define PAYLOAD_FEATURE_DELETIONS 0x00000010L

/* Bit 5: an update list that runs past UpdateFile15, up to the first missing key (at most 4096
   keys). */
#define PAYLOAD_FEATURE_LONG_LISTS 0x00000020L

/* Bit 6: deltas whose header carries flags (archive/delta_format.h: modeled streams and their
   compact window headers), which an updater that knows only unflagged deltas cannot apply. */
#define PAYLOAD_FEATURE_MODELED_DELTAS 0x00000040L

/* Bit 7: folders the run makes: every folder of an item's path that is not there is created.
   Asked for in UPDATE.INI by [UPDATE] CreateFolders=1. */
#define PAYLOAD_FEATURE_NEW_FOLDERS 0x00000080L

/* Every feature this updater knows. */
#define UPDATER_PAYLOAD_FEATURES                                                                   \
    (PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS | PAYLOAD_FEATURE_LARGE |                  \
     PAYLOAD_FEATURE_FOLDER_NAMES | PAYLOAD_FEATURE_DELETIONS | PAYLOAD_FEATURE_LONG_LISTS |       \
     PAYLOAD_FEATURE_MODELED_DELTAS | PAYLOAD_FEATURE_NEW_FOLDERS)

/* The declaration resource: type PAYLOADFEATURES, id 1, holding the magic "QVFT" and the mask
   as a 32-bit little-endian number. A stub without it knows no feature. */
#define PAYLOAD_FEATURES_RESOURCE_ID 1
