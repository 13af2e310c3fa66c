/*
 * Path and folder helpers (see kivpath.h).  The network path test lives in
 * kivnetpath.cpp, so that programs that need only these helpers do not
 * import the network provider.
 */
#include "kivpath.h"

#include <shlobj.h>
#include <stdlib.h>
#include <wchar.h>

/* The C runtime's splitter holds a folder of this many characters. */
#define KIV_SPLIT_DIR_MAX_LEN  (_MAX_DIR - 1)

static int IsSeparator(WCHAR ch)
{
    return ch == L'\\' || ch == L'/';
}

WCHAR *KivFindString(const WCHAR *pszText, const WCHAR *pszFind)
{
    return (WCHAR *)wcsstr(pszText, pszFind);
}

WCHAR *KivFindChar(const WCHAR *pszText, WCHAR ch)
{
    return (WCHAR *)wcschr(pszText, ch);
}

int IsUNCPath(const WCHAR *pszPath)
{
    return pszPath != NULL && pszPath[0] == L'\\' && pszPath[1] == L'\\';
}

typedef BOOL(WINAPI *SETTHREADERRORMODEPROC)(DWORD, LPDWORD);

DWORD KivQuietFileAttributes(const WCHAR *pszPath)
{
    SETTHREADERRORMODEPROC pfnSetThreadErrorMode = NULL;
    HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
    DWORD dwOldThreadMode = 0, dwAttr, dwError;
    UINT uOldMode = 0;
    int bThreadMode = 0;

    /* Windows 7 and later: the thread's own mode, which leaves the other
     * threads of a process like the spooler alone. */
    if (hKernel32)
        pfnSetThreadErrorMode = (SETTHREADERRORMODEPROC)(void (*)(void))GetProcAddress(hKernel32,
                                                                                      "SetThreadErrorMode");
    if (pfnSetThreadErrorMode && pfnSetThreadErrorMode(SEM_FAILCRITICALERRORS, &dwOldThreadMode)) {
        bThreadMode = 1;
        if (dwOldThreadMode & ~(DWORD)SEM_FAILCRITICALERRORS)
            pfnSetThreadErrorMode(dwOldThreadMode | SEM_FAILCRITICALERRORS, NULL);
    } else {
        uOldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
        SetErrorMode(uOldMode | SEM_FAILCRITICALERRORS);
    }
    dwAttr = GetFileAttributesW(pszPath);
    dwError = GetLastError();
    if (bThreadMode)
        pfnSetThreadErrorMode(dwOldThreadMode, NULL);
    else
        SetErrorMode(uOldMode);
    SetLastError(dwError);
    return dwAttr;
}

int LocalDirExists(const WCHAR *pszPath)
{
    DWORD dwAttr;

    if (pszPath == NULL)
        return 0;
    dwAttr = KivQuietFileAttributes(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int KivImagePrinterFolderExist(WCHAR *pszFolder)
{
    /* SHGetPathFromIDListW writes up to MAX_PATH units whatever the
     * caller's buffer holds: it gets a buffer of that size here. */
    WCHAR szPath[MAX_PATH];
    LPITEMIDLIST pidl = NULL;
    size_t cch, cchName = wcslen(KIV_INSTALL_FOLDER_NAME);
    int bAddSeparator;
    int result = 0;

    pszFolder[0] = L'\0';
    ZeroMemory(szPath, sizeof(szPath));
    if (FAILED(SHGetSpecialFolderLocation(NULL, CSIDL_PROGRAM_FILES, &pidl)) || pidl == NULL)
        goto Exit;
    if (!SHGetPathFromIDListW(pidl, szPath))
        goto Exit;
    szPath[MAX_PATH - 1] = L'\0';
    cch = wcslen(szPath);
    if (cch == 0)
        goto Exit;

    /* Room for the folder, a separator, the name, the trailing backslash
     * of the result and the terminator. */
    bAddSeparator = szPath[cch - 1] != L'\\';
    if (cch + bAddSeparator + cchName + 2 > KIV_INSTALL_FOLDER_UNITS)
        goto Exit;
    CopyMemory(pszFolder, szPath, cch * sizeof(WCHAR));
    if (bAddSeparator)
        pszFolder[cch++] = L'\\';
    CopyMemory(pszFolder + cch, KIV_INSTALL_FOLDER_NAME, (cchName + 1) * sizeof(WCHAR));
    cch += cchName;

    if (!LocalDirExists(pszFolder))
        goto Exit;
    pszFolder[cch] = L'\\';
    pszFolder[cch + 1] = L'\0';
    result = 1;

Exit:
    if (pidl != NULL)
        CoTaskMemFree(pidl);
    return result;
}

/* The first backslash; only when the text holds none, the first slash. */
static WCHAR *FindTreeSeparator(WCHAR *pszText)
{
    WCHAR *p = wcschr(pszText, L'\\');
    return p != NULL ? p : wcschr(pszText, L'/');
}

int CreateFolderTree(const WCHAR *pszPath, int bLastIsFile)
{
    WCHAR szCopy[MAX_PATH];
    WCHAR szBuilt[MAX_PATH];
    WCHAR *pszRest, *pszSep;
    size_t cchPath, cchBuilt, cchComponent;

    if (pszPath == NULL)
        return 0;
    cchPath = wcslen(pszPath);
    if (cchPath > KIV_FOLDER_TREE_MAX_LEN)
        return 0;
    CopyMemory(szCopy, pszPath, (cchPath + 1) * sizeof(WCHAR));

    pszSep = FindTreeSeparator(szCopy);
    if (pszSep == NULL)
        return 0;
    /* The root (the drive) is taken as it stands, never created. */
    cchBuilt = (size_t)(pszSep - szCopy);
    CopyMemory(szBuilt, szCopy, cchBuilt * sizeof(WCHAR));
    szBuilt[cchBuilt] = L'\0';

    pszRest = pszSep + 1;
    for (;;) {
        pszSep = FindTreeSeparator(pszRest);
        if (pszSep == NULL && bLastIsFile)
            return 1;
        cchComponent = pszSep != NULL ? (size_t)(pszSep - pszRest) : wcslen(pszRest);

        /* Each separator of the path becomes one backslash, so the built
         * path is never longer than the path: it fits. */
        if (cchBuilt + 1 + cchComponent >= MAX_PATH)
            return 0;
        szBuilt[cchBuilt++] = L'\\';
        CopyMemory(szBuilt + cchBuilt, pszRest, cchComponent * sizeof(WCHAR));
        cchBuilt += cchComponent;
        szBuilt[cchBuilt] = L'\0';

        if (!LocalDirExists(szBuilt) && !CreateDirectoryW(szBuilt, NULL))
            return 0;
        if (pszSep == NULL)
            return 1;
        pszRest = pszSep + 1;
    }
}

int BuildFullPath(const WCHAR *pszFolder, const WCHAR *pszName, WCHAR *pszOut)
{
    WCHAR szResult[KIV_PATH_UNITS];
    size_t cchFolder, cchName, cch;
    int bAddSeparator;

    if (pszOut == NULL)
        return 0;
    if (pszFolder == NULL || pszName == NULL)
        goto Fail;
    cchFolder = wcslen(pszFolder);
    cchName = wcslen(pszName);
    bAddSeparator = cchFolder > 0 && pszFolder[cchFolder - 1] != L'\\';
    cch = cchFolder + bAddSeparator + cchName;
    if (cch >= KIV_PATH_UNITS)
        goto Fail;

    /* Built aside, so that the output may be either input's buffer. */
    CopyMemory(szResult, pszFolder, cchFolder * sizeof(WCHAR));
    if (bAddSeparator)
        szResult[cchFolder] = L'\\';
    CopyMemory(szResult + cchFolder + bAddSeparator, pszName, cchName * sizeof(WCHAR));
    szResult[cch] = L'\0';
    CopyMemory(pszOut, szResult, (cch + 1) * sizeof(WCHAR));
    return 1;

Fail:
    pszOut[0] = L'\0';
    return 0;
}

int GetFolderOfPath(const WCHAR *pszPath, WCHAR *pszOut)
{
    WCHAR szDrive[_MAX_DRIVE];
    WCHAR szDir[_MAX_DIR];
    size_t cchDrive, cchDir, i;
    size_t cchEnd = 0;

    if (pszOut == NULL)
        return 0;
    if (pszPath == NULL)
        goto Fail;

    /* The runtime's splitter writes the folder part into a buffer of
     * _MAX_DIR units without asking for its size (and not every runtime
     * cuts it short), so the folder part is measured first with the same
     * rules: drive when the second character is a colon, folder up to and
     * including the last separator. */
    cchDrive = (pszPath[0] != L'\0' && pszPath[1] == L':') ? 2 : 0;
    for (i = cchDrive; pszPath[i] != L'\0'; i++) {
        if (IsSeparator(pszPath[i]))
            cchEnd = i + 1;
    }
    cchDir = cchEnd > cchDrive ? cchEnd - cchDrive : 0;
    if (cchDir > KIV_SPLIT_DIR_MAX_LEN)
        goto Fail;

    _wsplitpath(pszPath, szDrive, szDir, NULL, NULL);
    cchDrive = wcslen(szDrive);
    cchDir = wcslen(szDir);
    /* After a split the folder always ends with its separator: nothing is
     * added.  Drive and folder fit: 2 + 255 + 1 units. */
    MoveMemory(pszOut, szDrive, cchDrive * sizeof(WCHAR));
    MoveMemory(pszOut + cchDrive, szDir, (cchDir + 1) * sizeof(WCHAR));
    return 1;

Fail:
    pszOut[0] = L'\0';
    return 0;
}
