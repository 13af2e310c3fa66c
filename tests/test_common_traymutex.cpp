/*
 * The tray's single-instance mutex in wide form, seen from this process
 * and from another one (the client helper).
 */
#include <gtest/gtest.h>
#include <aclapi.h>

#include "test_common_util.h"
#include "kivtraymutex.h"

namespace {

/* The DACL of the mutex as the system holds it; true when it could be
 * read.  A null DACL comes back as NULL. */
bool ReadMutexDacl(bool *pNullDacl)
{
    HANDLE h = OpenMutexW(READ_CONTROL, FALSE, KIV_TRAY_MUTEX_NAME);
    if (!h)
        return false;
    PACL pDacl = (PACL)1;
    PSECURITY_DESCRIPTOR pSd = NULL;
    DWORD err = GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &pDacl, NULL, &pSd);
    CloseHandle(h);
    if (err != ERROR_SUCCESS)
        return false;
    *pNullDacl = pDacl == NULL;
    LocalFree(pSd);
    return true;
}

}  // namespace

TEST(TrayMutex, CreateExistsAndSecondCreate)
{
    EXPECT_EQ(IsTrayMutexExist(), 0);
    EXPECT_FALSE(MutexExists(KIV_TRAY_MUTEX_NAME));
    EXPECT_EQ(RunClientHelper(L"traymutex-exists"), 0);

    /* First create: it did not exist. */
    SetLastError(ERROR_ALREADY_EXISTS);   /* a stale 183 must not count */
    EXPECT_EQ(CreateTrayMutex(), 0);
    EXPECT_EQ(IsTrayMutexExist(), 1);
    EXPECT_TRUE(MutexExists(KIV_TRAY_MUTEX_NAME));

    /* Created not owned: another thread can take it at once. */
    AsyncCall take([] {
        HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, KIV_TRAY_MUTEX_NAME);
        DWORD r = h ? WaitForSingleObject(h, 0) : WAIT_FAILED;
        if (r == WAIT_OBJECT_0)
            ReleaseMutex(h);
        if (h)
            CloseHandle(h);
        return (int)r;
    });
    ASSERT_TRUE(take.Wait());
    EXPECT_EQ(take.Result(), (int)WAIT_OBJECT_0);

    /* Second create, here and in another process: it exists. */
    EXPECT_EQ(CreateTrayMutex(), 1);
    EXPECT_EQ(RunClientHelper(L"traymutex-create"), 1);
    EXPECT_EQ(RunClientHelper(L"traymutex-exists"), 1);

    /* Released: forgotten, not closed, so it still marks this process. */
    ReleaseTrayMutex();
    EXPECT_EQ(IsTrayMutexExist(), 1);
    EXPECT_EQ(RunClientHelper(L"traymutex-create"), 1);
    ReleaseTrayMutex();   /* with nothing held: harmless */
}

TEST(TrayMutex, HeldByAnotherProcessOnlyWhileItRuns)
{
    HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, L"KivTestTrayReady");
    HANDLE hQuit = CreateEventW(NULL, TRUE, FALSE, L"KivTestTrayQuit");
    ASSERT_TRUE(hReady && hQuit);
    HANDLE hHelper = Launch(L"\"" + BinPath(L"kivclienthelper.exe") + L"\" traymutex-hold KivTestTrayReady KivTestTrayQuit");
    ASSERT_TRUE(hHelper != NULL);
    ASSERT_EQ(WaitForSingleObject(hReady, KIV_TEST_DEADLINE_MS), WAIT_OBJECT_0);

    EXPECT_EQ(IsTrayMutexExist(), 1);
    EXPECT_EQ(IsTrayMutexExist(), 1);   /* the test itself holds nothing */

    SetEvent(hQuit);
    DWORD code = 1;
    ASSERT_TRUE(WaitExit(hHelper, KIV_TEST_DEADLINE_MS, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(IsTrayMutexExist(), 0);

    /* Now this process is the first. */
    EXPECT_EQ(CreateTrayMutex(), 0);
    CloseHandle(hHelper);
    CloseHandle(hReady);
    CloseHandle(hQuit);
}

TEST(TrayMutex, NullDaclVariant)
{
    SetLastError(ERROR_ALREADY_EXISTS);
    EXPECT_EQ(CreateTrayMutexNullDacl(), 0);
    EXPECT_EQ(IsTrayMutexExist(), 1);
    bool nullDacl = false;
    ASSERT_TRUE(ReadMutexDacl(&nullDacl));
    EXPECT_TRUE(nullDacl);

    /* Everybody opens it, with full access. */
    EXPECT_EQ(RunClientHelper(L"traymutex-exists"), 1);
    EXPECT_EQ(RunClientHelper(L"traymutex-create"), 1);
    EXPECT_EQ(CreateTrayMutexNullDacl(), 1);
    EXPECT_EQ(CreateTrayMutex(), 1);
}
