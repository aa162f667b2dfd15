// The key the journal is kept under, HKEY_LOCAL_MACHINE\<InstallRecord.KeyPath>, and how far it
// is trusted. The run makes it, and the company's key above it when that is missing, with an
// access list of its own: the system and administrators may change it, nobody else may even
// read it. The next start obeys a journal only when the key's owner and access list still say
// so, whoever made the key; the run removes the keys it made once they hold nothing.
#pragma once

#include <windows.h>

// Opens the journal's key to set values, making it (and the company's key) when missing. A key
// already there whose security lets another account change it is given the run's own owner and
// access list first. 0 when the key cannot be had that way: no journal is kept then.
int OpenJournalKeyForWriting(HKEY* key);

// 1 when a key with this security lets no account but the system and the administrators change
// it: the owner is one of those two, and no entry of the access list gives any other account the
// right to set a value, make a subkey or a link, or change the access list or the owner. A key
// without an access list is open to everybody.
int IsTrustedKeySecurity(PSECURITY_DESCRIPTOR security);

// The security of an open key (opened with READ_CONTROL), read through PlatformOps and judged
// as IsTrustedKeySecurity does.
int IsTrustedKey(HKEY key);

// Removes what the run made of the keys once nothing else is in them: the game's key, then the
// company's key. Which ones the run made is kept in the key itself from the moment it made them,
// so that the next start, finishing a run that died, removes them too.
void RemoveJournalKeysMade();
