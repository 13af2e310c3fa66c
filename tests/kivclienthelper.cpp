/*
 * A second client process for the common library's tests: it links the
 * library as a driver component would and reports through its exit code.
 *
 *   kivclienthelper requests COUNT         attach, COUNT tests on the share's
 *                                          "cc" files; exit code = wrong answers
 *                                          (100: could not attach)
 *   kivclienthelper copy FROM TO           attach, UNCCopyFile; exit code 0 when
 *                                          the agent copied (100: could not attach)
 *   kivclienthelper touch PATH             create PATH (a program the agent runs)
 *   kivclienthelper traymutex-create       exit code = CreateTrayMutex()
 *   kivclienthelper traymutex-exists       exit code = IsTrayMutexExist()
 *   kivclienthelper traymutex-hold READY QUIT
 *                                          create the mutex, signal event READY,
 *                                          wait for event QUIT
 *   kivclienthelper ANYTHING-ELSE          write "<own path>.ran" (a program the
 *                                          shell opens gets its own path)
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "kivclient.h"
#include "kivtraymutex.h"

/* The share's test files: \\kivtest\share\cc\fN is a file for even N and a
 * folder for odd N; \\kivtest\share\cc\mN does not exist. */
#define KIV_CC_FOLDER L"\\\\kivtest\\share\\cc\\"
#define KIV_CC_COUNT  10

static int Requests(int count)
{
    wchar_t szPath[MAX_PATH];
    int wrong = 0;

    if (!InitUNCShelllApp())
        return 100;
    for (int i = 0; i < count; i++) {
        int n = i % KIV_CC_COUNT;
        int isFile = (n % 2) == 0;
        _snwprintf(szPath, MAX_PATH, L"%sf%d", KIV_CC_FOLDER, n);
        szPath[MAX_PATH - 1] = 0;
        if (FileExists(szPath) != isFile)
            wrong++;
        if (DirExists(szPath) != !isFile)
            wrong++;
        _snwprintf(szPath, MAX_PATH, L"%sm%d", KIV_CC_FOLDER, n);
        szPath[MAX_PATH - 1] = 0;
        if (FileExists(szPath) != 0 || DirExists(szPath) != 0)
            wrong++;
    }
    ExitUNCShelllApp();
    return wrong;
}

static int Copy(const wchar_t *pszFrom, const wchar_t *pszTo)
{
    int copied;

    if (!InitUNCShelllApp())
        return 100;
    copied = UNCCopyFile(pszFrom, pszTo);
    ExitUNCShelllApp();
    return copied ? 0 : 1;
}

static int Touch(const wchar_t *pszPath)
{
    HANDLE h = CreateFileW(pszPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(h);
    return 0;
}

static int Hold(const wchar_t *pszReady, const wchar_t *pszQuit)
{
    HANDLE hReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, pszReady);
    HANDLE hQuit = OpenEventW(SYNCHRONIZE, FALSE, pszQuit);
    int rc = 1;

    if (hReady && hQuit) {
        CreateTrayMutex();
        SetEvent(hReady);
        WaitForSingleObject(hQuit, 60000);
        rc = 0;
    }
    if (hReady)
        CloseHandle(hReady);
    if (hQuit)
        CloseHandle(hQuit);
    return rc;
}

static int MarkRun(void)
{
    wchar_t szPath[MAX_PATH + 8];
    DWORD cch = GetModuleFileNameW(NULL, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return 1;
    wcscpy(szPath + cch, L".ran");
    return Touch(szPath);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 3 && wcscmp(argv[1], L"requests") == 0)
        return Requests(_wtoi(argv[2]));
    if (argc >= 4 && wcscmp(argv[1], L"copy") == 0)
        return Copy(argv[2], argv[3]);
    if (argc >= 3 && wcscmp(argv[1], L"touch") == 0)
        return Touch(argv[2]);
    if (argc >= 2 && wcscmp(argv[1], L"traymutex-create") == 0)
        return CreateTrayMutex();
    if (argc >= 2 && wcscmp(argv[1], L"traymutex-exists") == 0)
        return IsTrayMutexExist();
    if (argc >= 4 && wcscmp(argv[1], L"traymutex-hold") == 0)
        return Hold(argv[2], argv[3]);
    return MarkRun();
}
