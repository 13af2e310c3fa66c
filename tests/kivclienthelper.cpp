/*
 * A second client process for the common library's tests: it links the
 * library as a driver component would and reports through its exit code.
 *
 *   kivclienthelper requests COUNT         attach, COUNT tests on the share's
 *                                          "cc" files; exit code = wrong answers
 *                                          (100: could not attach)
 *   kivclienthelper requests-until EVENT   as requests, over and over until the
 *                                          event EVENT is set
 *   kivclienthelper copies-until EVENT     attach, copy a local file of changing
 *                                          content into the share and read it back,
 *                                          until the event EVENT is set; exit code =
 *                                          wrong copies (100: could not attach)
 *   kivclienthelper copy FROM TO           attach, UNCCopyFile; exit code 0 when
 *                                          the agent copied (100: could not attach)
 *   kivclienthelper stall STAGE FROM TO READY
 *                                          a client that stops in the middle of a
 *                                          copy request, through the named objects
 *                                          alone: it takes the client mutex, writes
 *                                          the request and, by STAGE, stops before
 *                                          signalling it ("unsignalled"), after
 *                                          signalling it ("signalled") or after its
 *                                          done signal ("answered"); there it sets
 *                                          the event READY and waits to be ended
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

#include "agentproto.h"
#include "kivclient.h"
#include "kivtraymutex.h"

/* The share's test files: \\kivtest\share\cc\fN is a file for even N and a
 * folder for odd N; \\kivtest\share\cc\mN does not exist. */
#define KIV_CC_FOLDER L"\\\\kivtest\\share\\cc\\"
#define KIV_CC_COUNT  10

/* Set when the event named by the argument is set; NULL: never. */
static HANDLE g_hQuit;

static int QuitAsked(void)
{
    return g_hQuit && WaitForSingleObject(g_hQuit, 0) == WAIT_OBJECT_0;
}

static int Requests(int count)
{
    wchar_t szPath[MAX_PATH];
    int wrong = 0;

    if (!InitUNCShelllApp())
        return 100;
    for (int i = 0; i < count || (g_hQuit && !QuitAsked()); i++) {
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

static int Copies(void)
{
    const wchar_t szSource[] = L"C:\\copysource.txt";
    char szContent[64], szBack[64];
    int wrong = 0;

    if (!InitUNCShelllApp())
        return 100;
    for (int i = 0; !QuitAsked(); i++) {
        HANDLE h;
        DWORD cb = 0;
        int len = sprintf(szContent, "copy number %d", i);

        h = CreateFileW(szSource, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE || !WriteFile(h, szContent, len, &cb, NULL))
            return 101;
        CloseHandle(h);
        if (!UNCCopyFile(szSource, L"\\\\kivtest\\share\\copytarget.txt")) {
            wrong++;
            continue;
        }
        h = CreateFileW(L"C:\\share\\copytarget.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
        cb = 0;
        if (h == INVALID_HANDLE_VALUE || !ReadFile(h, szBack, sizeof(szBack), &cb, NULL) ||
            cb != (DWORD)len || memcmp(szBack, szContent, len) != 0)
            wrong++;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
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

static int Stall(const wchar_t *pszStage, const wchar_t *pszFrom, const wchar_t *pszTo,
                 const wchar_t *pszReady)
{
    HANDLE hMapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, KIV_AGENT_MEM_NAME);
    AGENTBLOCK *pBlock = hMapping ? (AGENTBLOCK *)MapViewOfFile(hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                                 sizeof(AGENTBLOCK))
                                  : NULL;
    HANDLE hExec = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_EXEC_NAME);
    HANDLE hDone = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_DONE_NAME);
    HANDLE hFree = CreateMutexW(NULL, FALSE, KIV_AGENT_FREE_NAME);
    HANDLE hReady = OpenEventW(EVENT_MODIFY_STATE, FALSE, pszReady);

    if (!pBlock || !hExec || !hDone || !hFree || !hReady || wcslen(pszFrom) > 255 || wcslen(pszTo) > 255)
        return 1;
    if (WaitForSingleObject(hFree, 60000) != WAIT_OBJECT_0)
        return 2;
    pBlock->lCommand = KIV_CMD_COPY;
    wcscpy(pBlock->szPath1, pszFrom);
    wcscpy(pBlock->szPath2, pszTo);
    if (wcscmp(pszStage, L"unsignalled") != 0) {
        SetEvent(hExec);
        if (wcscmp(pszStage, L"answered") == 0 && WaitForSingleObject(hDone, 60000) != WAIT_OBJECT_0)
            return 3;
    }
    SetEvent(hReady);
    /* Ended here by the test, owning the mutex. */
    Sleep(INFINITE);
    return 0;
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
    if (argc >= 3 && (wcscmp(argv[1], L"requests-until") == 0 || wcscmp(argv[1], L"copies-until") == 0)) {
        g_hQuit = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
        if (!g_hQuit)
            return 102;
        return argv[1][0] == L'r' ? Requests(1) : Copies();
    }
    if (argc >= 6 && wcscmp(argv[1], L"stall") == 0)
        return Stall(argv[2], argv[3], argv[4], argv[5]);
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
