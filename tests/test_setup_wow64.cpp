/* The x86 setup under WOW64: tests/setup.cmake runs this in a 64-bit prefix. */
#include <gtest/gtest.h>
#include "setuptest.h"
TEST(Wow64, X86SetupSendsToTheX64ProductAndChangesNothing)
{
    ASSERT_TRUE(PrepareSetupFolder());
    SetupRunOptions opt;
    opt.dialogs = 1;
    SetupRunResult r = RunSetup(opt);
    ASSERT_EQ(r.dialogs.size(), 1u) << r.failure << DescribeDialogs(r.dialogs);
    EXPECT_NE(r.dialogs[0].text.find("install the x64 Kiv Image Printer"), std::string::npos) << r.dialogs[0].text;
    EXPECT_TRUE(r.trace.empty() && !PathIsFolder(InstallDir())) << Join(r.trace);
}
