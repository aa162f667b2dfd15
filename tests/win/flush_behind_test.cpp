#include <gtest/gtest.h>

#include <vector>

#include "update/flush_behind.h"
#include "win/win_test_support.h"

namespace {

int Flushes = 0;
int FlushesOfNoFile = 0; // a handle closed, or never a file's
BOOL WINAPI SlowFlush(HANDLE h) {
    // Slow, so that a writer that closed its file without waiting would have done so by now.
    Sleep(20);
    ++Flushes;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        ++FlushesOfNoFile;
        return FALSE;
    }
    return FlushFileBuffers(h);
}

} // namespace

// Files written one after another, each closed right after the wait its writer owes: every flush
// behind them finds its file still open, none comes once the wait returned, and without a thread
// there are none, the thread asked for once in the run.
TEST(FlushBehind, FlushesOnlyFilesStillOpen) {
    SavedOps saved;
    ScratchFolder folder;
    DirectOps.FlushBehind = SlowFlush;
    DirectOps.CreateThread = CountedCreateThread;
    const std::vector<uint8_t> part(1u << 20, 0x5A);
    const uint64_t parts = 3 * kFlushBehindBytes / part.size();
    for (bool refused : {false, true}) {
        RefuseThreads = refused;
        Flushes = FlushesOfNoFile = ThreadsAsked = 0;
        for (int file = 0; file < 3; ++file) {
            const std::string path =
                folder.File(std::to_string(refused) + "-" + std::to_string(file));
            HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, h);
            for (uint64_t i = 0; i < parts; ++i) {
                DWORD written = 0;
                ASSERT_TRUE(WriteFile(h, part.data(), (DWORD)part.size(), &written, nullptr));
                FlushBehindWritten(h, written);
            }
            FlushBehindWait();
            const int flushed = Flushes;
            CloseHandle(h);
            Sleep(50);
            EXPECT_EQ(flushed, Flushes) << "a flush after the wait, file " << file;
        }
        StopFlushBehind();
        EXPECT_EQ(0, FlushesOfNoFile);
        EXPECT_EQ(1, ThreadsAsked);
        if (refused)
            EXPECT_EQ(0, Flushes);
        else
            EXPECT_GE(Flushes, 3) << "at least one flush behind each file";
    }
}
