// The volumes of a large payload (archive/payload_large.h): files beside UPDATE.exe that hold
// the stored bytes of entries too large for its image. Each is held open from start-up to the
// end of the run with read sharing only, so that nobody can write, rename or replace it once it
// has been hashed; every read goes by position through the platform tables.
#pragma once

#include <stdint.h>

// Opens every volume the covered payload's record names, by exact name in folder, or with null
// in the folder of the running module (whatever the program is called now: it may have been
// renamed), and compares each one's size with the record's. 1 when all are open, or when the
// payload has none; 0 after a message naming the volume that is missing, cannot be opened, is
// no plain file or has another size (the others are closed again).
int OpenPayloadVolumes(const char* folder);

// The bytes of every open volume; 0 when there are none.
uint64_t PayloadVolumeBytes();

// Hashes every open volume whole against the record, passing the bytes read to progress as it
// goes. 1 when all match; 0 after a message naming the volume that could not be read or differs.
int CheckPayloadVolumes(void (*progress)(uint64_t bytes));

// n bytes of the volume stream (the volumes one after another) from offset into to; 1 when all
// were read. Shows nothing: ShowVolumeReadFailure tells the player afterwards.
int ReadVolumeStream(uint64_t offset, uint8_t* to, uint32_t n);
// Names the volume the last failed read stopped at.
void ShowVolumeReadFailure();

// Closes every volume.
void ClosePayloadVolumes();
