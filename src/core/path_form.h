// The one form of a path that the elevated updater acts on when a path comes back to it from
// somewhere it did not hold the whole time (a record of an earlier run, a folder named in the
// registry): a full path with a drive letter whose every name is what the platform stores,
// so that two spellings can never name one file and no spelling can lead where it does not
// seem to. Free of the platform: the CP932 walk comes in as a function.
#pragma once

#include <stddef.h>

#include "core/text.h"

// 1 when path is "X:\" followed by names separated by single backslashes: no slash, no empty
// name, no "." or "..", no name ending in a dot or blank, no stream (":"), wildcard or control
// byte, no device name (CON, NUL, COM1 …, with or without an extension), no name of the form
// the platform gives as a short alias ("PROGRA~1"), no backslash at the end unless the path is
// a drive root, and shorter than a path buffer. A trail byte of a double-byte character is
// never taken for a separator or a forbidden byte.
int IsCanonicalPath(const char* path, CharStepFn step);

// What is wrong with one name of a path (the bytes between two separators), or kNameExact: the
// rule IsCanonicalPath applies to every name, and the one mkupdate applies to every name a patch
// carries, so that the publisher's tool accepts exactly what the updater acts on. Every test
// holds for a name with double-byte characters too; a trail byte is never taken for a dot,
// blank, tilde or forbidden byte.
enum NameForm {
    kNameExact,
    kNameEmpty,
    kNameControlByte,   // below 0x20, or 0x7F
    kNameForbiddenByte, // one of / \ : * ? " < > |
    kNameTrailingDot,   // ends in a dot or blank, which the platform trims ("." and ".." too)
    kNameDevice,        // CON, NUL, COM1 …, with or without an extension
    kNameShortAlias,    // the shape of a short alias ("PROGRA~1", "SAVE~1.DAT")
    kNameBrokenChar,    // a lead byte without its trail byte
};
NameForm CheckNameForm(const char* name, size_t length, CharStepFn step);

// 1 when path lies strictly below folder: folder's bytes, a backslash unless folder is a drive
// root, and at least one more name. Both are taken byte for byte, so both must come from the
// same source (the updater joins every path it records to the folder it records).
int IsStrictlyInside(const char* path, const char* folder);

// Length of the folder part of path, up to and including its last backslash (0 without one).
size_t FolderPartOf(const char* path, CharStepFn step);

// The names the updater gives its own files and folders: "~qv", eight lower-case hexadecimal
// digits and the extension (".new", ".old", ".dir").
const size_t kRunNameLength = 3 + 8 + 4;
// 1 when name is exactly the folder of sibling (up to and including its last backslash)
// followed by a run name with this extension.
int IsRunNameBeside(const char* name, const char* sibling, const char* extension, CharStepFn step);

// Takes the backslash off the end of a folder unless the folder is a drive root ("G:\").
void DropTrailingBackslash(char* folder, CharStepFn step);
