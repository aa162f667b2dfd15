// The run's own folder under the temporary folder and the UPDATE.INI in it. The updater runs
// elevated while any program of the same user may write to the temporary folder: the folder
// gets a name nobody can guess and must be new, and the UPDATE.INI in it stays open without
// write or delete sharing from its extraction to the clean-up, so that what the run reads at
// the confirm page is what the payload carries.
#pragma once

// Names tried before giving up when every name drawn already exists.
const int kRunFolderAttempts = 16;

// Creates a new folder "UPDATE." + 32 random hexadecimal digits under the temporary folder,
// keeps it from being renamed or removed, and points UpdateIniPath into it. 1, or 0 after a
// message.
int CreateRunFolder();

// Extracts UPDATE.INI to UpdateIniPath and holds it open, shared for reading only, after
// checking that it holds the payload's entry byte for byte. 1, or 0 after a message.
int PlaceUpdateIni();

// Closes what the run holds and removes the UPDATE.INI and the folder it created; a folder
// that something else has been put into is left as it is. Nothing outside the folder is
// touched.
void ReleaseRunFolder();

// The folder of this run, empty when there is none.
const char* RunFolderPath();
