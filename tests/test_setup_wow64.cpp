/*
 * The x86 setup on 64-bit Windows.  This program is the x86 build's and
 * runs in a 64-bit prefix (tests/setup.cmake), where it and the
 * kivsetup.exe it starts are 32-bit processes under WOW64.
 */
#include <gtest/gtest.h>

#include "setuptest.h"

TEST(Wow64, X86SetupSendsToTheX64ProductAndChangesNothing)
{
    BOOL bWow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64) << "not run in a 64-bit prefix";
    ASSERT_TRUE(PrepareSetupFolder());

    SetupRunOptions opt;
    opt.dialogs = 1;
    SetupRunResult r = RunSetup(opt);
    EXPECT_TRUE(r.ran) << r.failure;
    EXPECT_EQ(r.exitCode, 0u);
    ASSERT_EQ(r.dialogs.size(), 1u) << DescribeDialogs(r.dialogs);
    EXPECT_EQ(r.dialogs[0].caption, "Kiv Image Printer Setup");
    EXPECT_EQ(r.dialogs[0].text, "This is the setup of Kiv Image Printer for 32-bit Windows. On 64-bit "
                                 "Windows, please install the x64 Kiv Image Printer instead, setup has "
                                 "been cancelled!");
    EXPECT_TRUE(r.trace.empty()) << Join(r.trace);
    EXPECT_FALSE(PathIsFolder(InstallDir()));
    EXPECT_FALSE(PathIsFile(SystemDir() + L"\\kivimg30.dll"));
    EXPECT_FALSE(PathIsFile(DriverDir() + L"\\kiv.gpd"));
}
