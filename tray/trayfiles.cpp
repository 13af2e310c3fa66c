/*
 * Finding the tray's files: first in the install folder
 * (Program Files\KivImagePrinter30), then in the Windows system folder.
 * A file or a folder of the name counts as found, as GetFileAttributes
 * tells no more.
 */
#include "kivtray.h"
#include <shlobj.h>

/* Install folder path followed by the file name, or the empty string when
 * the shell names no Program Files folder or the path does not fit. */
static void BuildInstallFolderPath(char *pszPath, const char *pszFileName)
{
    LPITEMIDLIST pidl = NULL;
    char szFolder[MAX_PATH];

    pszPath[0] = '\0';
    if (SHGetSpecialFolderLocation(NULL, CSIDL_PROGRAM_FILES, &pidl) != S_OK || !pidl)
        return;
    /* SHGetPathFromIDListA writes up to MAX_PATH characters. */
    szFolder[0] = '\0';
    if (!SHGetPathFromIDListA(pidl, szFolder))
        szFolder[0] = '\0';
    CoTaskMemFree(pidl);
    if (!szFolder[0])
        return;
    if (!CopyText(pszPath, KIV_LOOKUP_PATH_UNITS, szFolder) ||
        !AppendBackslash(pszPath, KIV_LOOKUP_PATH_UNITS) ||
        !AppendText(pszPath, KIV_LOOKUP_PATH_UNITS, KIV_INSTALL_FOLDER_NAME_A) ||
        !AppendBackslash(pszPath, KIV_LOOKUP_PATH_UNITS) ||
        !AppendText(pszPath, KIV_LOOKUP_PATH_UNITS, pszFileName))
        pszPath[0] = '\0';
}

/* System folder path followed by the file name, or the empty string. */
static void BuildSystemFolderPath(char *pszPath, const char *pszFileName)
{
    UINT cch = GetSystemDirectoryA(pszPath, KIV_SYSTEM_DIR_UNITS);

    /* 0 is a failure; a result of the room or more is the size needed. */
    if (cch == 0 || cch >= KIV_SYSTEM_DIR_UNITS) {
        pszPath[0] = '\0';
        return;
    }
    if (!AppendBackslash(pszPath, KIV_LOOKUP_PATH_UNITS) ||
        !AppendText(pszPath, KIV_LOOKUP_PATH_UNITS, pszFileName))
        pszPath[0] = '\0';
}

static int PathExists(const char *pszPath)
{
    return pszPath[0] && GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES;
}

/* pszPath (KIV_LOOKUP_PATH_UNITS characters) receives the path tested
 * last: the found one on success. */
int IsQPrinterFileExist(const char *pszFileName, char *pszPath)
{
    BuildInstallFolderPath(pszPath, pszFileName);
    if (PathExists(pszPath))
        return 1;
    BuildSystemFolderPath(pszPath, pszFileName);
    return PathExists(pszPath);
}

HMODULE LaunchQPrinterDLL(const char *pszFileName)
{
    char szPath[KIV_LOOKUP_PATH_UNITS];

    if (!pszFileName || !pszFileName[0])
        return NULL;
    if (!IsQPrinterFileExist(pszFileName, szPath))
        return NULL;
    return LoadLibraryA(szPath);
}
