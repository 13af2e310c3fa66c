/*
 * The settings files (see kivfiles.h).
 *
 * A save never opens the file it replaces.  It writes a temporary file
 * that GetTempFileNameW creates (with CREATE_NEW, so two saves at once,
 * from any threads or processes, never share one) in the settings folder,
 * and moves it over the old file only once every byte is written.  The
 * move itself keeps the old sharing rule: the system refuses to replace a
 * file that another handle holds open without FILE_SHARE_DELETE, as every
 * load does, so a save during a load fails and the old file stays.  A load
 * sees either the old file or the new one, never a part of either.
 */
#include "kivfiles.h"
#include "kivpath.h"
#include "kivseams.h"

#include <wchar.h>

/* Settings paths are built in buffers of this many units; the system
 * folder is asked for with a limit of 250. */
#define KIV_SETTINGS_PATH_UNITS  256
#define KIV_SYSTEM_DIR_LIMIT     250

/* Prefix of the temporary files ("kivXXXX.tmp"). */
#define KIV_TEMP_PREFIX          L"kiv"

static KIVWRITEFILEPROC g_pfnWriteSeam = NULL;

void KivSetSettingsWriteSeam(KIVWRITEFILEPROC pfn)
{
    g_pfnWriteSeam = pfn;
}

static BOOL WriteSettingsBytes(HANDLE hFile, const void *pData, DWORD cbData, DWORD *pcbWritten)
{
    if (g_pfnWriteSeam != NULL)
        return g_pfnWriteSeam(hFile, pData, cbData, pcbWritten, NULL);
    return WriteFile(hFile, pData, cbData, pcbWritten, NULL);
}

static DWORD BoundUserId(DWORD dwUserId)
{
    if (dwUserId > KIV_USERID_MAX || dwUserId == 0)
        return KIV_USERID_MIN;
    return dwUserId;
}

/*
 * The settings folder, ending with a backslash, into a buffer of
 * KIV_SETTINGS_PATH_UNITS: the install folder when it exists, else the
 * system folder.  0 when neither can be had.
 */
static int GetSettingsFolder(WCHAR *pszFolder)
{
    UINT cch;

    if (KivImagePrinterFolderExist(pszFolder))
        return 1;
    cch = GetSystemDirectoryW(pszFolder, KIV_SYSTEM_DIR_LIMIT);
    /* A result of the limit or more is the size needed, not a path. */
    if (cch == 0 || cch >= KIV_SYSTEM_DIR_LIMIT) {
        pszFolder[0] = L'\0';
        return 0;
    }
    if (pszFolder[cch - 1] != L'\\') {
        pszFolder[cch++] = L'\\';
        pszFolder[cch] = L'\0';
    }
    return 1;
}

/* pszPath := folder + name, in KIV_SETTINGS_PATH_UNITS; 0 when it does
 * not fit. */
static int BuildSettingsPath(WCHAR *pszPath, const WCHAR *pszFolder, const WCHAR *pszName)
{
    size_t cchFolder = wcslen(pszFolder);
    size_t cchName = wcslen(pszName);

    if (cchFolder + cchName >= KIV_SETTINGS_PATH_UNITS) {
        pszPath[0] = L'\0';
        return 0;
    }
    MoveMemory(pszPath, pszFolder, cchFolder * sizeof(WCHAR));
    CopyMemory(pszPath + cchFolder, pszName, (cchName + 1) * sizeof(WCHAR));
    return 1;
}

/* "kivusr" + the id (1 to 5, one digit) + ".bin". */
static int BuildSlotPath(WCHAR *pszPath, const WCHAR *pszFolder, DWORD dwUserId)
{
    WCHAR szName[32];
    size_t cchPrefix = wcslen(KIV_SLOT_FILE_PREFIX);

    CopyMemory(szName, KIV_SLOT_FILE_PREFIX, cchPrefix * sizeof(WCHAR));
    szName[cchPrefix] = (WCHAR)(L'0' + BoundUserId(dwUserId));
    CopyMemory(szName + cchPrefix + 1, KIV_SLOT_FILE_SUFFIX,
               (wcslen(KIV_SLOT_FILE_SUFFIX) + 1) * sizeof(WCHAR));
    return BuildSettingsPath(pszPath, pszFolder, szName);
}

/*
 * Replaces the file pszTarget in pszFolder by cbData bytes: written to a
 * new temporary file in the same folder (so the move is a rename on one
 * volume), flushed, then moved over the target.  On any failure the
 * temporary file is deleted and the target is left as it was.
 */
static int ReplaceWholeFile(const WCHAR *pszFolder, const WCHAR *pszTarget,
                            const void *pData, DWORD cbData)
{
    WCHAR szTemp[MAX_PATH];
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD cbWritten = 0;
    int bTempExists = 0;
    int result = 0;

    if (!GetTempFileNameW(pszFolder, KIV_TEMP_PREFIX, 0, szTemp))
        goto Exit;
    bTempExists = 1;
    hFile = CreateFileW(szTemp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        goto Exit;
    if (!WriteSettingsBytes(hFile, pData, cbData, &cbWritten) || cbWritten != cbData)
        goto Exit;
    if (!FlushFileBuffers(hFile))
        goto Exit;
    CloseHandle(hFile);
    hFile = INVALID_HANDLE_VALUE;
    if (!MoveFileExW(szTemp, pszTarget, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        goto Exit;
    bTempExists = 0;
    result = 1;

Exit:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    if (bTempExists)
        DeleteFileW(szTemp);
    return result;
}

/* The id stored in the folder's "kivusrid.bin", bounded. */
static DWORD ReadUserIdIn(const WCHAR *pszFolder)
{
    WCHAR szPath[KIV_SETTINGS_PATH_UNITS];
    HANDLE hFile;
    DWORD dwUserId = KIV_USERID_MIN;
    DWORD cbRead = 0;

    if (BuildSettingsPath(szPath, pszFolder, KIV_USERID_FILE_NAME)) {
        hFile = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
        if (hFile != INVALID_HANDLE_VALUE) {
            /* Little-endian: a shorter file replaces the low-order bytes. */
            ReadFile(hFile, &dwUserId, sizeof(dwUserId), &cbRead, NULL);
            CloseHandle(hFile);
        }
    }
    return BoundUserId(dwUserId);
}

DWORD LoadUserID(void)
{
    WCHAR szFolder[KIV_SETTINGS_PATH_UNITS];

    if (!GetSettingsFolder(szFolder))
        return KIV_USERID_MIN;
    return ReadUserIdIn(szFolder);
}

void SaveUserId(DWORD dwUserId)
{
    WCHAR szFolder[KIV_SETTINGS_PATH_UNITS];
    WCHAR szPath[KIV_SETTINGS_PATH_UNITS];

    if (GetSettingsFolder(szFolder) && BuildSettingsPath(szPath, szFolder, KIV_USERID_FILE_NAME))
        ReplaceWholeFile(szFolder, szPath, &dwUserId, sizeof(dwUserId));
}

void SaveKivPrinterSettings(KIVPRINTERCFG *pCfg)
{
    WCHAR szFolder[KIV_SETTINGS_PATH_UNITS];
    WCHAR szPath[KIV_SETTINGS_PATH_UNITS];
    int bHaveFolder;

    bHaveFolder = GetSettingsFolder(szFolder);
    pCfg->bUserId = (BYTE)BoundUserId(pCfg->bUserId);
    if (!bHaveFolder || !BuildSlotPath(szPath, szFolder, pCfg->bUserId))
        return;
    /* The pointer slots are stored with whatever they hold; readers set
     * them again. */
    if (!ReplaceWholeFile(szFolder, szPath, pCfg, sizeof(*pCfg)))
        return;
    /* Only a slot that was saved becomes the current one: a current id
     * naming a slot whose save failed would hide the user's settings. */
    SaveUserId(pCfg->bUserId);
}

/* Reads up to cbWant bytes; 0 when a read fails. */
static int ReadBytes(HANDLE hFile, BYTE *pData, DWORD cbWant, DWORD *pcbRead)
{
    DWORD cbChunk;

    *pcbRead = 0;
    while (*pcbRead < cbWant) {
        cbChunk = 0;
        if (!ReadFile(hFile, pData + *pcbRead, cbWant - *pcbRead, &cbChunk, NULL))
            return 0;
        if (cbChunk == 0)
            break;
        *pcbRead += cbChunk;
    }
    return 1;
}

int LoadKivPrinterSettings(KIVPRINTERCFG *pCfg)
{
    WCHAR szFolder[KIV_SETTINGS_PATH_UNITS];
    WCHAR szPath[KIV_SETTINGS_PATH_UNITS];
    /* Read aside: a short or failed read leaves the caller's record as it
     * was instead of half overwritten. */
    KIVPRINTERCFG cfgRead;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwUserId, cbRead = 0;
    int bHaveFolder;
    int result = 0;

    /* The id is read from the same folder as the slot file: one lookup,
     * and no chance of pairing one folder's id with another's slots. */
    bHaveFolder = GetSettingsFolder(szFolder);
    dwUserId = bHaveFolder ? ReadUserIdIn(szFolder) : KIV_USERID_MIN;
    SetCfgTextSlots(pCfg);
    if (!bHaveFolder || !BuildSlotPath(szPath, szFolder, dwUserId))
        goto Exit;

    hFile = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        goto Exit;
    if (!ReadBytes(hFile, (BYTE *)&cfgRead, sizeof(cfgRead), &cbRead))
        goto Exit;
    CloseHandle(hFile);
    hFile = INVALID_HANDLE_VALUE;
    if (cbRead < sizeof(cfgRead))
        goto Exit;

    CopyMemory(pCfg, &cfgRead, sizeof(cfgRead));
    CheckValidityDevOpt(pCfg);
    result = 1;

Exit:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return result;
}
