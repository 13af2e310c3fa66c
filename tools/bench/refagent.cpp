/*
 * kivrefagent: the smallest server of the path agent's request protocol,
 * written straight from the protocol's description and sharing no code
 * with kivprt.  make bench measures kivprt's round trip against it.
 *
 * It holds the instance mutex (so that peers see an agent), makes the
 * shared block and the three events, signals ready and serves quit (0),
 * copy (1), delete (2), folder test (3), file test (4) and run (6); any
 * other code only gets the done signal.  It keeps no autostart value and
 * takes no copy of a path: the block's fields are used where they lie,
 * each cut at its last unit so that no call reads past it.
 *
 *   ref\kivprt.exe [DELAY_MS [LOG]]   (the target kivrefagent)
 * The tests make it a slow agent: it takes DELAY_MS over each request
 * (between reading the code and carrying it out), and appends each code
 * it serves to the file LOG, one line each.
 */
#include <windows.h>

/* The block: command word at 0, first path at 4, second path at 516 (256
 * UTF-16 units each); the folder and file tests answer at 516. */
#define REF_BLOCK_SIZE   1028
#define REF_PATH1_OFFSET 4
#define REF_PATH2_OFFSET 516
#define REF_PATH_UNITS   256

static LONG TestAttributes(const WCHAR *pszPath, int wantFolder)
{
    DWORD dwAttr = GetFileAttributesW(pszPath);

    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return 0;
    return ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0) == (wantFolder != 0);
}

static void LogCode(const char *pszLog, LONG lCommand)
{
    char szLine[16];
    DWORD cb;
    HANDLE h;

    if (*pszLog == '\0')
        return;
    h = CreateFileA(pszLog, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    cb = (DWORD)wsprintfA(szLine, "%ld\r\n", lCommand);   /* at most 13 characters */
    WriteFile(h, szLine, cb, &cb, NULL);
    CloseHandle(h);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR pszArgs, int)
{
    DWORD dwDelay = 0;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    HANDLE hInstanceMutex = CreateMutexW(NULL, FALSE, L"KivImagePrinterUncAgency30");
    HANDLE hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, REF_BLOCK_SIZE,
                                         L"KivImagePrinterMem30");
    BYTE *pBlock = NULL;
    HANDLE hExec = NULL, hDone = NULL, hSync = NULL;
    LONG *plCommand;
    WCHAR *pszPath1, *pszPath2;
    LONG lResult;

    if (!hMapping)
        goto Exit;
    pBlock = (BYTE *)MapViewOfFile(hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, REF_BLOCK_SIZE);
    hExec = CreateEventW(NULL, FALSE, FALSE, L"KivImagePrinterExec30");
    hDone = CreateEventW(NULL, FALSE, FALSE, L"KivImagePrinterDone30");
    hSync = CreateEventW(NULL, FALSE, FALSE, L"KivImagePrinterSync30");
    if (!pBlock || !hExec || !hDone || !hSync)
        goto Exit;
    while (*pszArgs == ' ')
        pszArgs++;
    while (*pszArgs >= '0' && *pszArgs <= '9' && dwDelay < 600000)
        dwDelay = dwDelay * 10 + (DWORD)(*pszArgs++ - '0');
    while (*pszArgs == ' ')
        pszArgs++;
    plCommand = (LONG *)pBlock;
    pszPath1 = (WCHAR *)(pBlock + REF_PATH1_OFFSET);
    pszPath2 = (WCHAR *)(pBlock + REF_PATH2_OFFSET);

    SetEvent(hSync);
    while (WaitForSingleObject(hExec, INFINITE) == WAIT_OBJECT_0) {
        LONG lCommand = *plCommand;
        LogCode(pszArgs, lCommand);
        if (lCommand == 0) {
            SetEvent(hDone);
            break;
        }
        pszPath1[REF_PATH_UNITS - 1] = L'\0';
        Sleep(dwDelay);
        switch (lCommand) {
        case 1:
            pszPath2[REF_PATH_UNITS - 1] = L'\0';
            *plCommand = CopyFileW(pszPath1, pszPath2, FALSE);
            break;
        case 2:
            DeleteFileW(pszPath1);
            break;
        case 3:
        case 4:
            lResult = TestAttributes(pszPath1, lCommand == 3);
            CopyMemory(pszPath2, &lResult, sizeof(lResult));
            break;
        case 6:
            ZeroMemory(&si, sizeof(si));
            si.cb = sizeof(si);
            if (CreateProcessW(NULL, pszPath1, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
            break;
        }
        SetEvent(hDone);
    }

Exit:
    if (hSync)
        CloseHandle(hSync);
    if (hDone)
        CloseHandle(hDone);
    if (hExec)
        CloseHandle(hExec);
    if (pBlock)
        UnmapViewOfFile(pBlock);
    if (hMapping)
        CloseHandle(hMapping);
    if (hInstanceMutex)
        CloseHandle(hInstanceMutex);
    return 0;
}
