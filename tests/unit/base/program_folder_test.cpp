// The autostart entry's texts and the one-copy names of a folder.
#include "base/program_folder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProgramFolder, AutostartEntryNamesTheFolderAndStartsTheProgramInTheTray) {
    wchar_t name[kFolderTextSize];
    ASSERT_TRUE(autostart_value_name(L"C:\\Станция 2", name));
    EXPECT_EQ(std::wstring(name), L"QALMOR link C:\\Станция 2");
    wchar_t command[kFolderTextSize];
    ASSERT_TRUE(autostart_command(L"C:\\Станция 2\\qalmor.exe", command));
    EXPECT_EQ(std::wstring(command), L"\"C:\\Станция 2\\qalmor.exe\" --minimized");
    // A path too long for the room gives no entry, not a cut one.
    std::wstring deep(kFolderTextSize, L'a');
    EXPECT_FALSE(autostart_command(deep, command));
    EXPECT_EQ(command[0], L'\0');
}

TEST(ProgramFolder, AnEntryStartsThisProgramOnlyWhenItNamesItsPath) {
    const wchar_t* program = L"C:\\Станция\\qalmor.exe";
    EXPECT_TRUE(autostart_starts(L"\"c:\\сТАНЦИЯ\\QALMOR.EXE\" --minimized", program));
    EXPECT_TRUE(autostart_starts(L"\"C:/Станция/qalmor.exe\" --MINIMIZED", program));
    EXPECT_FALSE(autostart_starts(L"\"D:\\Станция\\qalmor.exe\" --minimized", program));
    EXPECT_FALSE(autostart_starts(L"\"C:\\Станция\\qalmor.exe\"", program));  // not in its folder
}

TEST(ProgramFolder, OneFolderHasOneLockWhateverItsSpelling) {
    EXPECT_EQ(folder_hash(L"C:\\QALMOR\\Станция"), folder_hash(L"c:\\qalmor\\сТАНЦИЯ\\"));
    EXPECT_EQ(folder_hash(L"C:\\QALMOR"), folder_hash(L"C:/QALMOR/"));
    EXPECT_NE(folder_hash(L"C:\\QALMOR\\1"), folder_hash(L"C:\\QALMOR\\2"));
}

}  // namespace
