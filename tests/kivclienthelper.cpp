/*
 * A second client process for the common library's tests: it links the
 * library as a driver component would and reports through its exit code.
 *
 *   kivclienthelper requests COUNT         attach, COUNT tests on the share's
 *                                          "cc" files; exit code = wrong answers
 *                                          (100: could not attach)
 *   kivclienthelper mixed ID COUNT [QUIT]  attach, COUNT mixed requests on its own
 *                                          folder \\kivtest\share\loadID: copies of
 *                                          files of varied sizes read back byte for
 *                                          byte, deletes, folder and file tests;
 *                                          with the event QUIT, on until it is set;
 *                                          counts into C:\loadID.txt; exit code =
 *                                          wrong answers (100: could not attach)
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
 *   kivclienthelper touch PATH             create PATH holding KIV_TEST_MARK (a
 *                                          program the agent runs)
 *   kivclienthelper spooler MODE FILE      as a spooler thread (MODE impersonate or
 *                                          service): launch, attach, run "touch FILE"
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
#include "agentsync.h"
#include "kivclient.h"
#include "kivseams.h"
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

/* The delete that no call of the library sends, as a client does it:
 * under the client mutex, through the same exchange. */
static int RawDelete(const wchar_t *pszPath)
{
    static HANDLE hMapping, hExec, hDone, hFree;
    static AGENTBLOCK *pBlock;
    static const KIVAGENTPLACE plain = { 0, 0, { 0 } };
    KIVAGENTREQUEST request;
    DWORD dwWait;
    int served;

    if (!pBlock) {
        hMapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, KIV_AGENT_MEM_NAME);
        pBlock = hMapping ? (AGENTBLOCK *)MapViewOfFile(hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                         sizeof(AGENTBLOCK))
                          : NULL;
        hExec = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_EXEC_NAME);
        hDone = CreateEventW(NULL, FALSE, FALSE, KIV_AGENT_DONE_NAME);
        hFree = CreateMutexW(NULL, FALSE, KIV_AGENT_FREE_NAME);
        if (!pBlock || !hExec || !hDone || !hFree)
            return 0;
    }
    ZeroMemory(&request, sizeof(request));
    request.lCommand = KIV_CMD_DELETE;
    request.pszPath1 = pszPath;
    request.cchPath1 = wcslen(pszPath);
    dwWait = WaitForSingleObject(hFree, INFINITE);
    if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED)
        return 0;
    served = KivAgentPutRequest(pBlock, hExec, hDone, dwWait == WAIT_ABANDONED, INFINITE, &request) &&
             KivAgentSendAndAwait(pBlock, hExec, hDone, &request, &plain);
    ReleaseMutex(hFree);
    return served;
}

/* Content of a load source: its size and the client tell its bytes. */
static void FillSource(char *p, size_t cb, int id)
{
    for (size_t i = 0; i < cb; i++)
        p[i] = (char)((i * 31 + cb * 7 + id * 13) & 0xFF);
}

static int SameAsFile(const wchar_t *pszPath, const char *pData, size_t cb)
{
    HANDLE h = CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    static char buf[65536];
    size_t off = 0;
    int same = h != INVALID_HANDLE_VALUE;

    while (same) {
        DWORD got = 0;
        if (!ReadFile(h, buf, sizeof(buf), &got, NULL)) {
            same = 0;
            break;
        }
        if (got == 0)
            break;
        if (off + got > cb || memcmp(buf, pData + off, got) != 0)
            same = 0;
        off += got;
    }
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return same && off == cb;
}

static int Mixed(int id, int count, HANDLE hQuit)
{
    static const size_t sizes[] = { 0, 1, 1000, 4096, 65537, 300000 };
    const int nSizes = (int)(sizeof(sizes) / sizeof(sizes[0]));
    const int nTargets = 4;
    static char data[300000];
    wchar_t szSource[64], szUnc[96], szLocal[96], szShare[64];
    int exists[4] = { 0, 0, 0, 0 };
    int copies = 0, deletes = 0, tests = 0, wrong = 0;
    long long bytes = 0;
    FILE *f;

    for (int k = 0; k < nSizes; k++) {
        HANDLE h;
        DWORD cb = 0;
        FillSource(data, sizes[k], id);
        swprintf(szSource, 64, L"C:\\load%d-%d.bin", id, k);
        h = CreateFileW(szSource, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE || !WriteFile(h, data, (DWORD)sizes[k], &cb, NULL))
            return 101;
        CloseHandle(h);
    }
    swprintf(szShare, 64, L"\\\\kivtest\\share\\load%d", id);
    if (!InitUNCShelllApp())
        return 100;
    for (int i = 0; hQuit ? WaitForSingleObject(hQuit, 0) != WAIT_OBJECT_0 : i < count; i++) {
        int op = i % 10, t = (i / 10) % nTargets;
        swprintf(szUnc, 96, L"%ls\\f%d", szShare, t);
        swprintf(szLocal, 96, L"C:\\share\\load%d\\f%d", id, t);
        if (op <= 3) {
            int k = (i / 10 + op) % nSizes;
            swprintf(szSource, 64, L"C:\\load%d-%d.bin", id, k);
            FillSource(data, sizes[k], id);
            copies++;
            bytes += (long long)sizes[k];
            if (UNCCopyFile(szSource, szUnc) == 0 || !SameAsFile(szLocal, data, sizes[k]))
                wrong++;
            exists[t] = 1;
        } else if (op == 4) {
            deletes++;
            if (!RawDelete(szUnc) || GetFileAttributesW(szLocal) != INVALID_FILE_ATTRIBUTES)
                wrong++;
            exists[t] = 0;
        } else if (op <= 6) {
            tests += 2;
            wrong += FileExists(szUnc) != exists[t];
            wrong += DirExists(szUnc) != 0;
        } else if (op == 7) {
            tests += 2;
            wrong += DirExists(szShare) != 1;
            wrong += FileExists(szShare) != 0;
        } else {
            swprintf(szUnc, 96, L"%ls\\missing%d", szShare, i);
            tests += 2;
            wrong += FileExists(szUnc) != 0;
            wrong += DirExists(szUnc) != 0;
        }
    }
    ExitUNCShelllApp();
    swprintf(szLocal, 96, L"C:\\load%d.txt", id);
    f = _wfopen(szLocal, L"w");
    if (f) {
        fprintf(f, "%d %d %d %lld %d\n", copies, deletes, tests, bytes, wrong);
        fclose(f);
    }
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

/* The file holds the value of KIV_TEST_MARK the program got: which agent
 * started it. */
static int Touch(const wchar_t *pszPath)
{
    char szMark[64];
    DWORD cch = GetEnvironmentVariableA("KIV_TEST_MARK", szMark, sizeof(szMark)), cb;
    HANDLE h = CreateFileW(pszPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    WriteFile(h, szMark, cch < sizeof(szMark) ? cch : 0, &cb, NULL);
    CloseHandle(h);
    return 0;
}

/* A client as the spooler's rendering thread is one: impersonating its
 * user ("impersonate"), or under a service account ("service").  Exit
 * code: 1 when attached (and "touch FILE" run), + 2 when launched. */
static int Spooler(const wchar_t *pszMode, const wchar_t *pszFile)
{
    wchar_t szCmdLine[2 * MAX_PATH + 16] = L"\"";
    int launched, attached;

    GetModuleFileNameW(NULL, szCmdLine + 1, MAX_PATH);
    _snwprintf(szCmdLine + wcslen(szCmdLine), MAX_PATH + 8, L"\" touch %s", pszFile);

    if (wcscmp(pszMode, L"service") == 0)
        KivSetServiceAccountSeam([]() -> int { return 1; });
    else if (!ImpersonateSelf(SecurityImpersonation))
        return 100;
    launched = LaunchKivShelllApp();
    attached = InitUNCShelllApp();
    if (attached)
        UNCAppExecute(szCmdLine);
    ExitUNCShelllApp();
    return attached + 2 * launched;
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
    if (argc >= 4 && wcscmp(argv[1], L"mixed") == 0) {
        HANDLE hQuit = argc >= 5 ? OpenEventW(SYNCHRONIZE, FALSE, argv[4]) : NULL;
        if (argc >= 5 && !hQuit)
            return 102;
        return Mixed(_wtoi(argv[2]), _wtoi(argv[3]), hQuit);
    }
    if (argc >= 6 && wcscmp(argv[1], L"stall") == 0)
        return Stall(argv[2], argv[3], argv[4], argv[5]);
    if (argc >= 4 && wcscmp(argv[1], L"copy") == 0)
        return Copy(argv[2], argv[3]);
    if (argc >= 3 && wcscmp(argv[1], L"touch") == 0)
        return Touch(argv[2]);
    if (argc >= 4 && wcscmp(argv[1], L"spooler") == 0)
        return Spooler(argv[2], argv[3]);
    if (argc >= 2 && wcscmp(argv[1], L"traymutex-create") == 0)
        return CreateTrayMutex();
    if (argc >= 2 && wcscmp(argv[1], L"traymutex-exists") == 0)
        return IsTrayMutexExist();
    if (argc >= 4 && wcscmp(argv[1], L"traymutex-hold") == 0)
        return Hold(argv[2], argv[3]);
    return MarkRun();
}
