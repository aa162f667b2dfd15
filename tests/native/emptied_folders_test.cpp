// The boundary of the removal of folders that deletions leave empty.
#include <gtest/gtest.h>

#include "shared/char_step.h"
#include "update/emptied_folders.h"

namespace {

TEST(EmptiedFolders, StopAtTheGameFoldersAndEverythingHoldingThem) {
    struct Case {
        const char* folder;
        const char* install;
        const char* data;
        bool removable;
    };
    const Case cases[] = {
        {"C:\\game\\sub", "C:\\game", "D:\\save", true},
        {"C:\\game\\sub\\deeper", "C:\\game", "D:\\save", true},
        {"C:\\game", "C:\\game", "D:\\save", false},
        {"C:\\", "C:\\game", "D:\\save", false},
        {"C:\\other", "C:\\game", "D:\\save", false},
        {"C:\\gamer", "C:\\game", "D:\\save", false},
        // The data folder inside the install folder: it stays, and so does every folder on the
        // way down to it; a folder beside it or below it may go.
        {"C:\\game\\save", "C:\\game", "C:\\game\\save", false},
        {"C:\\game\\SAVE", "C:\\game", "C:\\game\\save", false},
        {"C:\\game\\user", "C:\\game", "C:\\game\\user\\save", false},
        {"C:\\game\\user\\save\\old", "C:\\game", "C:\\game\\user\\save", true},
        {"C:\\game\\user2", "C:\\game", "C:\\game\\user\\save", true},
        // An empty data folder, or one settled to the drive's root: the walk ends at the
        // install folder all the same.
        {"C:\\game\\sub", "C:\\game", "", true},
        {"C:\\", "C:\\game", "", false},
        {"C:\\game\\sub", "C:\\game", "C:\\", true},
        {"C:\\other", "C:\\game", "C:\\", false},
        {"C:\\Program Files", "C:\\Program Files\\game", "C:\\", false},
        // The install folder inside the data folder: nothing beside it goes.
        {"D:\\save", "D:\\save\\game", "D:\\save", false},
        {"D:\\save\\x", "D:\\save\\game", "D:\\save", false},
        // A double-byte name whose trail byte is a backslash or a lower-case letter: compared
        // byte for byte, never folded or taken for a separator.
        {"C:\\\x95\x5C\\sub", "C:\\\x95\x5C", "", true},
        {"C:\\\x95\x5C", "C:\\\x95\x5C", "", false},
        {"C:\\\x83\x61", "C:\\\x83\x61\\game", "", false},
        {"C:\\\x83\x41\\game\\sub", "C:\\\x83\x61\\game", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.removable,
                  MayRemoveEmptiedFolder(c.folder, c.install, c.data, TestCharStep) != 0)
            << c.folder << " with " << c.install << " and " << c.data;
}

} // namespace
