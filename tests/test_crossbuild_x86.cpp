/*
 * On 64-bit Windows a 32-bit program and the 64-bit agent of one session
 * meet in the same named objects.  The x86 build's own client program
 * (kivclienthelper, linking the x86 common library) is served by this,
 * the x64 build's agent: a copy (result in the command word) and folder
 * and file tests (result at byte 516).
 *
 * It needs a machine that runs 32-bit code.  make check probes that once
 * per run and tells the tests through KIV_X86_RUNS: "yes", or why not.
 */
#include <gtest/gtest.h>
#include <string>

#include "testsupport.h"

TEST(CrossBuild, X86ClientIsServedByTheX64Agent)
{
    wchar_t szRuns[512] = L"";
    GetEnvironmentVariableW(L"KIV_X86_RUNS", szRuns, 512);
    if (wcscmp(szRuns, L"yes") != 0)
        GTEST_SKIP() << "the x86 build's client cannot run here: "
                     << (szRuns[0] ? Narrow(szRuns) : std::string("unknown (make check probes the machine)"));

    /* The x86 tree beside this one (the Makefile's layout). */
    std::wstring x86Client = BinDir() + L"\\..\\..\\x86\\bin\\kivclienthelper.exe";
    ASSERT_TRUE(PathIsFile(x86Client));
    ASSERT_TRUE(WriteWholeFile(L"C:\\page.txt", "printed by a 32-bit program"));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\share\\cc", NULL));
    for (int n = 0; n < 10; n++) {
        std::wstring path = L"C:\\share\\cc\\f" + std::to_wstring(n);
        if (n % 2 == 0)
            ASSERT_TRUE(WriteWholeFile(path, "f"));
        else
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), NULL));
    }

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(L"  -start"));
    DWORD code = 99;
    HANDLE h = Launch(L"\"" + x86Client + L"\" copy C:\\page.txt \\\\kivtest\\share\\page.txt");
    ASSERT_TRUE(h);
    EXPECT_TRUE(WaitExit(h, KIV_TEST_DEADLINE_MS, &code));
    CloseHandle(h);
    EXPECT_EQ(code, 0u) << "the x86 client's copy";
    std::string copied;
    EXPECT_TRUE(ReadWholeFile(L"C:\\share\\page.txt", &copied));
    EXPECT_EQ(copied, "printed by a 32-bit program");

    h = Launch(L"\"" + x86Client + L"\" requests 20");
    ASSERT_TRUE(h);
    EXPECT_TRUE(WaitExit(h, KIV_TEST_DEADLINE_MS, &code));
    CloseHandle(h);
    EXPECT_EQ(code, 0u) << "wrong answers to the x86 client's tests";
    EXPECT_TRUE(agent.Stop());
}
