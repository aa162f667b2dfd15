// The next start obeys a journal only from a key that no other account can change, and only for
// today's install and data folders; any other journal is said once, kept aside and touches
// nothing. The keys a run made go when it ends.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "core/run_state.h"
#include "payload/archive_writer.h"
#include "update/commit.h"
#include "update/journal_format.h"
#include "update/update_run.h"
#include "win/tree_snapshot.h"
#include "win/win_test_support.h"

namespace {

// The security the key seems to have, in the system's descriptor language; empty: its own.
std::string KeySecurity;

// Stands for a list that is not there at all (everybody may do anything), which the descriptor
// language of Wine reads as an empty one.
const char kNoList[] = "no list";

// The descriptor the key seems to have, self-relative, as the registry hands it out.
std::vector<uint8_t> Descriptor(const std::string& text) {
    std::vector<uint8_t> bytes;
    if (text == kNoList) {
        SECURITY_DESCRIPTOR absolute;
        BYTE owner[SECURITY_MAX_SID_SIZE];
        DWORD ownerSize = sizeof owner, length = 0;
        InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, owner, &ownerSize);
        SetSecurityDescriptorOwner(&absolute, owner, FALSE);
        SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE);
        MakeSelfRelativeSD(&absolute, nullptr, &length);
        bytes.resize(length);
        MakeSelfRelativeSD(&absolute, bytes.data(), &length);
        return bytes;
    }
    PSECURITY_DESCRIPTOR built;
    ULONG length;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &built,
                                                             &length)) {
        bytes.assign((uint8_t*)built, (uint8_t*)built + length);
        LocalFree(built);
    }
    return bytes;
}

LSTATUS WINAPI FakeKeySecurity(HKEY key, SECURITY_INFORMATION wanted, PSECURITY_DESCRIPTOR out,
                               LPDWORD size) {
    if (KeySecurity.empty())
        return RegGetKeySecurity(key, wanted, out, size);
    const std::vector<uint8_t> bytes = Descriptor(KeySecurity);
    if (bytes.empty())
        return ERROR_INVALID_PARAMETER;
    const LSTATUS result = *size < bytes.size() ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
    if (result == ERROR_SUCCESS)
        memcpy(out, bytes.data(), bytes.size());
    *size = (DWORD)bytes.size();
    return result;
}

std::vector<uint8_t> ValueOf(const std::string& keyPath, const char* name) {
    HKEY key;
    std::vector<uint8_t> bytes;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key))
        return bytes;
    DWORD size = 0;
    if (!RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size)) {
        bytes.resize(size);
        RegQueryValueExA(key, name, nullptr, nullptr, bytes.data(), &size);
    }
    RegCloseKey(key);
    return bytes;
}

bool KeyExists(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key))
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteKeys(const std::string& game, const std::string& company) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, game.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, company.c_str());
}

class JournalTrustTest : public UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        PlatformOps.RegGetKeySecurity = FakeKeySecurity;
        other = folder.File("other");
        CreateDirectoryA(other.c_str(), nullptr);
    }
    void TearDown() override {
        ForgetJournal(InstallRecord.KeyPath);
        KeySecurity.clear();
        UpdateRunFixture::TearDown();
    }
    // Files a journal obeyed would change: a "new" file it would delete, and a file moved aside
    // that it would put back.
    void Lay(const std::string& base) {
        ScratchFolder::RemoveContents(base);
        WriteText(base + "\\new.dat", "taken for the run's own");
        WriteText(base + "\\~qv00000001.old", "moved aside");
    }
    // A journal in force of a run that wrote new.dat and deleted gone.dat below base.
    std::vector<uint8_t> Journal(const std::string& install, const std::string& data,
                                 const std::string& base) {
        JournalFolders f = {};
        f.state = kJournalInForce;
        strcpy(f.install, install.c_str());
        strcpy(f.data, data.c_str());
        JournalAction actions[2] = {};
        actions[0].kind = kReplaceFile;
        strcpy(actions[0].target, (base + "\\new.dat").c_str());
        strcpy(actions[0].staged, (base + "\\~qv00000002.new").c_str());
        const std::string bytes = "taken for the run's own";
        Sha256(bytes.data(), bytes.size(), actions[0].newDigest);
        actions[1].kind = kDeleteFile;
        actions[1].existed = 1;
        strcpy(actions[1].target, (base + "\\gone.dat").c_str());
        strcpy(actions[1].backup, (base + "\\~qv00000001.old").c_str());
        std::vector<uint8_t> journal(JournalSize(f, actions, 2));
        WriteJournal(f, actions, 2, journal.data());
        return journal;
    }
    void Keep(const std::vector<uint8_t>& journal) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr));
        RegSetValueExA(key, kJournalValueName, 0, REG_BINARY, journal.data(),
                       (DWORD)journal.size());
        RegDeleteValueA(key, kRefusedJournalValueName);
        RegCloseKey(key);
    }

    // A payload of one file, a.dat.
    void LoadOneFile() {
        std::vector<ArchiveInput> inputs = {
            {"a.dat", (const uint8_t*)"new a", 5, 0x01D6000000000000ull, true, true}};
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_EQ(1,
                  BuildArchiveWith(inputs, ArchiveOptions(kIndexCompressed, kCompressFast, false),
                                   &image, &error));
        ASSERT_EQ(1, LoadPayload(image));
    }

    std::string other;
};

TEST_F(JournalTrustTest, ForgedJournalsAreSaidOnceKeptAsideAndTouchNothing) {
    const std::string windows = "C:\\windows\\qvtest-trust";
    CreateDirectoryA(windows.c_str(), nullptr);
    const char* tight = "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
    struct Row {
        const char* what;
        std::string install, data, base; // the journal's folders, and where its files lie
        std::string security;
        bool obeyed;
    };
    const std::vector<Row> rows = {
        {"the run's own key", install, data, install, tight, true},
        {"a key as the system makes it", install, data, data,
         "O:SYD:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)(A;CIIO;GA;;;CO)(D;;KA;;;AN)", true},
        {"an install folder not today's", other, data, other, tight, false},
        {"a data folder not today's", install, other, other, tight, false},
        {"the Windows folder", windows, data, windows, tight, false},
        {"owned by the users", install, data, install, "O:BUD:(A;;KA;;;BA)", false},
        {"owned by the creator", install, data, install, "O:COD:(A;;KA;;;BA)", false},
        {"users may set values", install, data, install, "O:BAD:(A;;KA;;;BA)(A;;0x2;;;BU)", false},
        {"everyone may make subkeys", install, data, install, "O:SYD:(A;;0x4;;;WD)", false},
        {"users may change the list", install, data, install, "O:BAD:(A;;WD;;;AU)", false},
        {"users may take the key", install, data, install, "O:BAD:(A;;WO;;;IU)", false},
        {"users have all rights", install, data, install, "O:BAD:(A;;GA;;;BU)", false},
        {"no access list at all", install, data, install, kNoList, false},
        {"an empty list: nobody may change it", install, data, install, "O:BAD:", true},
        {"an object grant", install, data, install,
         "O:BAD:(OA;;KA;bf967aba-0de6-11d0-a285-00aa003049e2;;BA)", false},
    };
    for (const Row& row : rows) {
        Lay(row.base);
        const std::vector<uint8_t> journal = Journal(row.install, row.data, row.base);
        Keep(journal);
        KeySecurity = row.security;
        const TreeSnapshot before = TakeSnapshot(row.base);
        ShownMessages.clear();
        EXPECT_EQ(1, RecoverInterruptedRun()) << row.what << ": the start goes on";
        ASSERT_EQ(1u, ShownMessages.size()) << row.what;
        EXPECT_FALSE(JournalKept(InstallRecord.KeyPath)) << row.what;
        const std::vector<std::string> differences =
            CompareSnapshots(before, TakeSnapshot(row.base));
        if (row.obeyed) {
            EXPECT_NE(std::string::npos, ShownMessages[0].find("状態に戻しました")) << row.what;
            EXPECT_FALSE(differences.empty()) << row.what;
            EXPECT_EQ("moved aside", ReadText(row.base + "\\gone.dat")) << row.what;
            continue;
        }
        EXPECT_NE(std::string::npos, ShownMessages[0].find("そのままにしました")) << row.what;
        EXPECT_NE(std::string::npos, ShownMessages[0].find(kRefusedJournalValueName)) << row.what;
        EXPECT_TRUE(differences.empty()) << row.what << ": " << differences[0];
        EXPECT_EQ(journal, ValueOf(InstallRecord.KeyPath, kRefusedJournalValueName)) << row.what;
        // Said once: the next start finds nothing.
        ShownMessages.clear();
        EXPECT_EQ(1, RecoverInterruptedRun()) << row.what;
        EXPECT_TRUE(ShownMessages.empty()) << row.what << ": " << ShownMessages[0];
    }
    ScratchFolder::RemoveContents(windows);
    RemoveDirectoryA(windows.c_str());
}

// The game's key, and the company's, go at the end of a run when the run made them and nothing
// else is in them; keys that were there stay.
TEST_F(JournalTrustTest, TheRunRemovesTheKeysItMade) {
    ASSERT_NO_FATAL_FAILURE(LoadOneFile());
    const std::string company = "Software\\QvTestsMade";
    const std::string game = company + "\\Game";
    strcpy(InstallRecord.KeyPath, game.c_str());
    struct Row {
        bool companyThere, gameThere, otherValue;
        bool companyStays, gameStays;
    } rows[] = {{false, false, false, false, false},
                {true, false, false, true, false},
                {true, true, false, true, true},
                {false, false, true, true, true}};
    for (const Row& row : rows) {
        DeleteKeys(game, company);
        HKEY key;
        if (row.companyThere || row.gameThere) {
            ASSERT_EQ(0,
                      RegCreateKeyExA(HKEY_LOCAL_MACHINE, (row.gameThere ? game : company).c_str(),
                                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
            RegCloseKey(key);
        }
        // A value another elevated program puts beside the journal while the run goes on.
        AnswerMessageBox = nullptr;
        if (row.otherValue)
            PlatformOps.RegFlushKey = [](HKEY k) {
                RegSetValueExA(k, "Other", 0, REG_BINARY, (const BYTE*)"x", 1);
                return RegFlushKey(k);
            };
        ScratchFolder::RemoveContents(install);
        EXPECT_EQ(99, Run("UpdateFile00=a.dat\r\n").result);
        PlatformOps.RegFlushKey = saved.platform.RegFlushKey;
        EXPECT_EQ("new a", ReadText(install + "\\a.dat"));
        EXPECT_EQ(row.companyStays, KeyExists(company));
        EXPECT_EQ(row.gameStays, KeyExists(game));
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, game.c_str());
    DeleteKeys(game, company);
}

// The security the run gives a key it found loose.
std::string SetSecurity;
bool SetSecurityWorks = true;
LSTATUS WINAPI RecordKeySecurity(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR security) {
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(
        security, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr);
    SetSecurity = text ? text : "";
    LocalFree(text);
    if (!SetSecurityWorks)
        return ERROR_ACCESS_DENIED;
    KeySecurity = SetSecurity;
    return ERROR_SUCCESS;
}

// A key already there that another account could change gets the run's own owner and access
// list before the journal goes into it; when it cannot, the run fails before it writes.
TEST_F(JournalTrustTest, ALooseKeyIsTightenedOrTheRunWritesNothing) {
    ASSERT_NO_FATAL_FAILURE(LoadOneFile());
    PlatformOps.RegSetKeySecurity = RecordKeySecurity;
    for (const bool works : {true, false}) {
        ScratchFolder::RemoveContents(install);
        KeySecurity = "O:BUD:(A;;KA;;;BU)";
        SetSecurityWorks = works;
        ShownMessages.clear();
        const DialogOutcome o = Run("UpdateFile00=a.dat\r\n");
        EXPECT_EQ(works ? 99 : -1, o.result) << works;
        EXPECT_EQ(works, PathExists(install + "\\a.dat")) << works;
        EXPECT_EQ(std::string("O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)"), SetSecurity) << works;
        EXPECT_FALSE(JournalKept(InstallRecord.KeyPath)) << works;
        if (!works) {
            ASSERT_FALSE(ShownMessages.empty());
            EXPECT_NE(std::string::npos, ShownMessages[0].find("書き込みに失敗しました"))
                << ShownMessages[0];
        }
    }
}

} // namespace
