// What every end-to-end test of UPDATE.exe starts from: an installed game (registry key,
// install folder, SETUP.INI) and a way to run an UPDATE.exe carrying a payload of the test's.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/driver.h"
#include "e2e/updater_setup.h"
#include "win/win_test_support.h"

const char kE2ECompany[] = "E2ESoft";
const char kE2EGameDir[] = "StartGame";
const char kE2ETitle[] = "始動テスト";
// The caption the dialog and boxes carry once SETUP.INI is loaded (no UpdaterTitle, no version).
const char kE2ECaption[] = "始動テスト アップデータ ";

// What the companion installer leaves in the install folder.
std::string InstalledSetupIni(const std::string& extra = "",
                              const std::string& gameClass = "StartGameWindow");

// UPDATE.INI's [SETUP] section for the installed game, with more lines after it.
std::string UpdateIniSetup(const std::string& extra = "");

// Copies the tree at from into to (which exists), every file stamped with time (0: left as
// copied).
void CopyTree(const std::string& from, const std::string& to, uint64_t time);

class UpdaterRunTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Transcript Run(const std::vector<PayloadFile>& files, const std::vector<std::string>& script,
                   StepHook hook = nullptr);
    Transcript RunExe(const std::string& exe, const std::vector<std::string>& script,
                      StepHook hook = nullptr);
    // The name screenshots of the running test carry.
    static std::string ShotName(const char* suffix = "");
    // The boxes and dialog states the run showed, as "caption|static texts".
    static std::vector<std::string> Boxes(const Transcript& t);
    static std::vector<uint8_t> Bytes(const std::string& s) {
        return std::vector<uint8_t>(s.begin(), s.end());
    }
    std::string InstallFile(const std::string& name) const { return install + "\\" + name; }

    ScratchFolder folder;
    std::string install;
    InstallKey key;
};
