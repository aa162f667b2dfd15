#include "update/journal_key.h"

#include <sddl.h>
#include <string.h>

#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"

namespace {

// Which keys the run made: kept as a value beside the journal until both are gone.
const char kKeysMadeValueName[] = "UpdateKeysMade";
const DWORD kMadeGameKey = 1;
const DWORD kMadeCompanyKey = 2;

// Owner the administrators; the system and the administrators full access, passed on to subkeys;
// nothing taken over from the key above.
const char kJournalKeySecurity[] = "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

// What lets an account change a key or what it holds.
const ACCESS_MASK kChangingRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK |
                                    WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

int IsTrustee(PSID sid) {
    return IsValidSid(sid) && (IsWellKnownSid(sid, WinLocalSystemSid) ||
                               IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

// "Software\<CompanyName>" of "Software\<CompanyName>\<GameDir>".
int CompanyKeyPath(char out[kTextSize]) {
    const size_t cut = FolderPartLength(InstallRecord.KeyPath);
    if (cut < 2)
        return 0;
    memcpy(out, InstallRecord.KeyPath, cut - 1);
    out[cut - 1] = 0;
    return 1;
}

// Creates or opens a key with the run's own security; *made when it was created now.
int CreateKey(const char* path, REGSAM access, PSECURITY_DESCRIPTOR security, HKEY* key,
              int* made) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security, FALSE};
    DWORD disposition = 0;
    const int ok =
        PlatformOps.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    access, &attributes, key, &disposition) == ERROR_SUCCESS;
    *made = ok && disposition == REG_CREATED_NEW_KEY;
    return ok;
}

// A key already there that another account could change is given the run's own security.
int Tighten(HKEY key, PSECURITY_DESCRIPTOR security) {
    if (IsTrustedKey(key))
        return 1;
    HKEY owned;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0,
                                  WRITE_DAC | WRITE_OWNER, &owned) != ERROR_SUCCESS)
        return 0;
    const LSTATUS set = PlatformOps.RegSetKeySecurity(
        owned, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security);
    PlatformOps.RegCloseKey(owned);
    return set == ERROR_SUCCESS && IsTrustedKey(key);
}

// Adds to the record of the keys the run made.
int RecordKeysMade(HKEY key, DWORD made) {
    DWORD kept = 0, type = 0, size = sizeof kept;
    if (PlatformOps.RegQueryValueExA(key, kKeysMadeValueName, nullptr, &type, (BYTE*)&kept,
                                     &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        kept = 0;
    kept |= made;
    return PlatformOps.RegSetValueExA(key, kKeysMadeValueName, 0, REG_DWORD, (const BYTE*)&kept,
                                      sizeof kept) == ERROR_SUCCESS;
}

// 1 when the key at path holds no subkey and no more values than given.
int HoldsAtMost(const char* path, DWORD mostValues) {
    HKEY key;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return 0;
    DWORD subkeys = 1, values = mostValues + 1;
    const int few = PlatformOps.RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                                 nullptr, &values, nullptr, nullptr, nullptr,
                                                 nullptr) == ERROR_SUCCESS &&
                    subkeys == 0 && values <= mostValues;
    PlatformOps.RegCloseKey(key);
    return few;
}

} // namespace

int IsTrustedKeySecurity(PSECURITY_DESCRIPTOR security) {
    PSID owner = nullptr;
    PACL list = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!IsValidSecurityDescriptor(security) ||
        !GetSecurityDescriptorOwner(security, &owner, &defaulted) || !owner || !IsTrustee(owner) ||
        !GetSecurityDescriptorDacl(security, &present, &list, &defaulted) || !present || !list)
        return 0;
    for (DWORD i = 0; i < list->AceCount; ++i) {
        ACE_HEADER* entry = nullptr;
        if (!GetAce(list, i, (void**)&entry))
            return 0;
        // Entries only passed on to subkeys, and denials, never widen what the key allows.
        if ((entry->AceFlags & INHERIT_ONLY_ACE) || entry->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        // Any other kind of grant (object, callback) is one this check cannot judge.
        if (entry->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return 0;
        const ACCESS_ALLOWED_ACE* allowed = (const ACCESS_ALLOWED_ACE*)entry;
        if ((allowed->Mask & kChangingRights) && !IsTrustee((PSID)&allowed->SidStart))
            return 0;
    }
    return 1;
}

int IsTrustedKey(HKEY key) {
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    if (PlatformOps.RegGetKeySecurity(key, wanted, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER ||
        size == 0)
        return 0;
    PSECURITY_DESCRIPTOR security = AllocFixed(size);
    const int trusted =
        security && PlatformOps.RegGetKeySecurity(key, wanted, security, &size) == ERROR_SUCCESS &&
        IsTrustedKeySecurity(security);
    FreeFixed(security);
    return trusted;
}

int OpenJournalKeyForWriting(HKEY* key) {
    char company[kTextSize];
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!InstallRecord.KeyPath[0] || !CompanyKeyPath(company) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(kJournalKeySecurity, SDDL_REVISION_1,
                                                              &security, nullptr))
        return 0;
    HKEY companyKey;
    int madeCompany = 0, madeGame = 0;
    int ok = CreateKey(company, KEY_QUERY_VALUE, security, &companyKey, &madeCompany);
    if (ok)
        PlatformOps.RegCloseKey(companyKey);
    ok = ok && CreateKey(InstallRecord.KeyPath, KEY_SET_VALUE | KEY_QUERY_VALUE | READ_CONTROL,
                         security, key, &madeGame);
    if (ok) {
        ok = Tighten(*key, security) &&
             (!(madeGame || madeCompany) ||
              RecordKeysMade(*key,
                             (madeGame ? kMadeGameKey : 0) | (madeCompany ? kMadeCompanyKey : 0)));
        if (!ok)
            PlatformOps.RegCloseKey(*key);
    }
    // Keys made now but not recorded would stay for good.
    if (!ok && madeGame)
        PlatformOps.RegDeleteKeyA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath);
    if (!ok && madeCompany)
        PlatformOps.RegDeleteKeyA(HKEY_LOCAL_MACHINE, company);
    LocalFree(security);
    return ok;
}

void RemoveJournalKeysMade() {
    HKEY key;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0, KEY_QUERY_VALUE,
                                  &key) != ERROR_SUCCESS)
        return;
    DWORD made = 0, type = 0, size = sizeof made;
    const int recorded = PlatformOps.RegQueryValueExA(key, kKeysMadeValueName, nullptr, &type,
                                                      (BYTE*)&made, &size) == ERROR_SUCCESS &&
                         type == REG_DWORD;
    PlatformOps.RegCloseKey(key);
    // The game's key goes with its record, in one step, when the record is all it holds; else
    // both stay, and the record with them for a later run to finish.
    if (!recorded || !(made & kMadeGameKey) || !HoldsAtMost(InstallRecord.KeyPath, 1) ||
        PlatformOps.RegDeleteKeyA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath) != ERROR_SUCCESS)
        return;
    char company[kTextSize];
    if ((made & kMadeCompanyKey) && CompanyKeyPath(company) && HoldsAtMost(company, 0))
        PlatformOps.RegDeleteKeyA(HKEY_LOCAL_MACHINE, company);
}
