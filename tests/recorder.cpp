/*
 * recorder: stands in for the programs the product starts (a document's
 * viewer, a program run through the agent) and records that it was
 * started.
 *   recorder LOGFILE [ANYTHING...]
 * Writes the rest of its command line (after LOGFILE) and a line break to
 * LOGFILE, then ends.  The log is written to a temporary name and moved
 * into place, so a test that sees LOGFILE sees all of it.
 */
#include <windows.h>
#include <wchar.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t *pszCmd = GetCommandLineW();
    wchar_t szTemp[MAX_PATH + 8];
    HANDLE hFile;
    DWORD written;
    int rc = 1;

    if (!argv || argc < 2 || wcslen(argv[1]) >= MAX_PATH)
        goto Exit;
    /* Skip the program and the log file arguments as the system split them. */
    for (int skip = 0; skip < 2; skip++) {
        while (*pszCmd == L' ' || *pszCmd == L'\t')
            pszCmd++;
        if (*pszCmd == L'"') {
            pszCmd = wcschr(pszCmd + 1, L'"');
            pszCmd = pszCmd ? pszCmd + 1 : L"";
        } else {
            while (*pszCmd && *pszCmd != L' ' && *pszCmd != L'\t')
                pszCmd++;
        }
    }
    while (*pszCmd == L' ' || *pszCmd == L'\t')
        pszCmd++;

    swprintf(szTemp, MAX_PATH + 8, L"%ls.tmp", argv[1]);
    hFile = CreateFileW(szTemp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        goto Exit;
    {
        int cb = WideCharToMultiByte(CP_UTF8, 0, pszCmd, -1, NULL, 0, NULL, NULL);
        char *pUtf8 = (char *)HeapAlloc(GetProcessHeap(), 0, cb + 1);
        if (pUtf8) {
            WideCharToMultiByte(CP_UTF8, 0, pszCmd, -1, pUtf8, cb, NULL, NULL);
            pUtf8[cb - 1] = '\n';
            WriteFile(hFile, pUtf8, cb, &written, NULL);
            HeapFree(GetProcessHeap(), 0, pUtf8);
        }
    }
    CloseHandle(hFile);
    rc = MoveFileExW(szTemp, argv[1], MOVEFILE_REPLACE_EXISTING) ? 0 : 1;

Exit:
    if (argv)
        LocalFree(argv);
    return rc;
}
