/*
 * The settings files (see kivfiles.h).
 *
 * A save writes a temporary file that GetTempFileNameW creates (with
 * CREATE_NEW, so two saves at once, from any threads or processes, never
 * share one) in the settings folder, and puts it in place of the old file
 * only once every byte is written: ReplaceFileW over an existing file,
 * which keeps that file's security and attributes (what an administrator
 * gave the slot files so that every user may save), a move where there is
 * none.  The replacement keeps the old sharing rule: the system refuses to
 * replace a file that another handle holds open without FILE_SHARE_DELETE,
 * as every load does, so a save during a load fails and the old file
 * stays.  A load sees either the old file or the new one, never a part of
 * either.
 *
 * A user may be allowed to write the slot files without being allowed to
 * create or delete files in their folder (the system folder, for most
 * users).  Where the temporary file cannot be created or cannot take the
 * old file's place, the file is written in place, in one write, flushed:
 * not atomic, but a save that worked before still works.
 *
 * ReplaceFileW can also fail half-way (a virus scanner holding the
 * temporary file it just saw closed is enough).  It is given a backup
 * name, a second temporary file of the same pattern, so that every
 * outcome leaves only names a later save cleans up: with
 * ERROR_UNABLE_TO_MOVE_REPLACEMENT both files keep their names, and the
 * record is written in place; with ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 the
 * old file has gone to the backup name, and the temporary file, then the
 * only new copy, is moved into place, or failing that the record is
 * written again from memory.  A save that could not place its new copy
 * keeps the temporary file, and the backup when it holds the old one, as
 * the last copies.  What it keeps follows from that save's own steps, not
 * from a look at the end, when another save may be replacing the file.
 */
#include "kivfiles.h"
#include "kivpath.h"
#include "kivseams.h"

#include <wchar.h>

/* Settings paths are built in buffers of this many units; the system
 * folder is asked for with a limit of 250. */
#define KIV_SETTINGS_PATH_UNITS  256
#define KIV_SYSTEM_DIR_LIMIT     250

/* The temporary files GetTempFileNameW makes: "kiv", one to four hex
 * digits, ".tmp". */
#define KIV_TEMP_PREFIX          L"kiv"
#define KIV_TEMP_SUFFIX          L".tmp"
#define KIV_TEMP_MAX_DIGITS      4
/* A temporary file this much older than now was left by a save that was
 * killed: a save lives for milliseconds.  In 100-ns units: one minute. */
#define KIV_STALE_TEMP_AGE       (60LL * 10000000LL)
/* Room for a file's security descriptor; a larger one is not kept. */
#define KIV_SECURITY_BYTES       4096
/* Moving a temporary file into a missing file's place is tried this often,
 * this far apart: whatever holds the file (a virus scanner) lets go of it
 * within moments, and a save must not hang its caller for long. */
#define KIV_MOVE_ATTEMPTS        5
#define KIV_MOVE_PAUSE_MS        50

static KIVWRITEFILEPROC g_pfnWriteSeam = NULL;
static KIVGETTEMPFILENAMEPROC g_pfnTempFileSeam = NULL;
static KIVREPLACEFILEPROC g_pfnReplaceSeam = NULL;

void KivSetSettingsWriteSeam(KIVWRITEFILEPROC pfn)
{
    g_pfnWriteSeam = pfn;
}

void KivSetSettingsTempFileSeam(KIVGETTEMPFILENAMEPROC pfn)
{
    g_pfnTempFileSeam = pfn;
}

void KivSetSettingsReplaceSeam(KIVREPLACEFILEPROC pfn)
{
    g_pfnReplaceSeam = pfn;
}

static BOOL WriteSettingsBytes(HANDLE hFile, const void *pData, DWORD cbData, DWORD *pcbWritten)
{
    if (g_pfnWriteSeam != NULL)
        return g_pfnWriteSeam(hFile, pData, cbData, pcbWritten, NULL);
    return WriteFile(hFile, pData, cbData, pcbWritten, NULL);
}

static UINT MakeTempFile(const WCHAR *pszFolder, WCHAR *pszTemp)
{
    if (g_pfnTempFileSeam != NULL)
        return g_pfnTempFileSeam(pszFolder, KIV_TEMP_PREFIX, 0, pszTemp);
    return GetTempFileNameW(pszFolder, KIV_TEMP_PREFIX, 0, pszTemp);
}

static BOOL ReplaceWithTempFile(const WCHAR *pszTarget, const WCHAR *pszTemp, const WCHAR *pszBackup)
{
    if (g_pfnReplaceSeam != NULL)
        return g_pfnReplaceSeam(pszTarget, pszTemp, pszBackup, 0, NULL, NULL);
    return ReplaceFileW(pszTarget, pszTemp, pszBackup, 0, NULL, NULL);
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

/* Writes cbData bytes into a new file or over an existing one; 1 when
 * all were written and flushed. */
static int WriteWholeFile(const WCHAR *pszPath, const void *pData, DWORD cbData)
{
    HANDLE hFile;
    DWORD cbWritten = 0;
    int result = 0;

    hFile = CreateFileW(pszPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    if (WriteSettingsBytes(hFile, pData, cbData, &cbWritten) && cbWritten == cbData && FlushFileBuffers(hFile))
        result = 1;
    CloseHandle(hFile);
    return result;
}

/* What the existing target's owner gave it, to give it back after the
 * replacement: ReplaceFileW keeps both on Windows; not every system does. */
typedef struct {
    DWORD dwAttributes;                  /* INVALID_FILE_ATTRIBUTES: none read */
    int bHaveDacl;
    BYTE abSecurity[KIV_SECURITY_BYTES]; /* self-relative, DACL only */
} KIVFILEKEEP;

static void ReadWhatToKeep(const WCHAR *pszPath, KIVFILEKEEP *pKeep)
{
    DWORD cbNeeded = 0;

    pKeep->dwAttributes = GetFileAttributesW(pszPath);
    pKeep->bHaveDacl = GetFileSecurityW(pszPath, DACL_SECURITY_INFORMATION,
                                        (PSECURITY_DESCRIPTOR)pKeep->abSecurity,
                                        sizeof(pKeep->abSecurity), &cbNeeded) != 0;
}

static void PutBackWhatToKeep(const WCHAR *pszPath, const KIVFILEKEEP *pKeep)
{
    if (pKeep->bHaveDacl)
        SetFileSecurityW(pszPath, DACL_SECURITY_INFORMATION, (PSECURITY_DESCRIPTOR)pKeep->abSecurity);
    if (pKeep->dwAttributes != INVALID_FILE_ATTRIBUTES && GetFileAttributesW(pszPath) != pKeep->dwAttributes)
        SetFileAttributesW(pszPath, pKeep->dwAttributes);
}

/* 1 when nothing has the path's name; 0 also when it cannot be asked. */
static int FileIsMissing(const WCHAR *pszPath)
{
    return GetFileAttributesW(pszPath) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

/* Moves the temporary file to the missing target, a few times if it is
 * held; gives up at once when the target appears (another save made it). */
static int MoveIntoPlace(const WCHAR *pszTemp, const WCHAR *pszTarget)
{
    int i;

    for (i = 0; i < KIV_MOVE_ATTEMPTS; i++) {
        if (i > 0)
            Sleep(KIV_MOVE_PAUSE_MS);
        if (MoveFileExW(pszTemp, pszTarget, MOVEFILE_WRITE_THROUGH))
            return 1;
        if (!FileIsMissing(pszTarget))
            return 0;
    }
    return 0;
}

/*
 * Replaces pszTarget (in pszFolder) by cbData bytes, as a whole where the
 * folder lets this user create a file, in place where it does not (see
 * the top of this file).  On any failure the target is left as it was,
 * except after a failed write in place, which the folder or a replacement
 * that removed the target left no other way to make; the temporary file is
 * then kept, as it is whenever the target is missing.
 */
static int ReplaceWholeFile(const WCHAR *pszFolder, const WCHAR *pszTarget,
                            const void *pData, DWORD cbData)
{
    WCHAR szTemp[MAX_PATH];
    WCHAR szBackup[MAX_PATH];
    KIVFILEKEEP keep;
    HANDLE hCheck;
    DWORD dwError;
    int bTempExists = 0;
    int bBackupExists = 0;
    int bOldInBackup = 0;  /* the replacement moved the old file there */
    int bHaveKeep = 0;
    int bKeepTemp = 0;   /* the temporary file may be the only whole copy */
    int result = 0;

    /* Held open by a load: the save fails, as it always did.  Asked before
     * anything is written, also because some systems' ReplaceFileW leave
     * a file of their own behind when the file to replace is in use. */
    hCheck = CreateFileW(pszTarget, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hCheck != INVALID_HANDLE_VALUE)
        CloseHandle(hCheck);
    else if (GetLastError() == ERROR_SHARING_VIOLATION)
        goto Exit;

    if (!MakeTempFile(pszFolder, szTemp)) {
        result = WriteWholeFile(pszTarget, pData, cbData);
        goto Exit;
    }
    bTempExists = 1;
    if (!WriteWholeFile(szTemp, pData, cbData))
        goto Exit;   /* a full disk: in place would fare no better */

    if (!FileIsMissing(pszTarget)) {
        ReadWhatToKeep(pszTarget, &keep);
        bHaveKeep = 1;
        /* No backup name to be had: replace without one. */
        bBackupExists = MakeTempFile(pszFolder, szBackup) != 0;
        if (ReplaceWithTempFile(pszTarget, szTemp, bBackupExists ? szBackup : NULL)) {
            bTempExists = 0;
            result = 1;
            goto Exit;
        }
        dwError = GetLastError();
        /* Only then has the old file gone to the backup name. */
        bOldInBackup = dwError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
        if (!FileIsMissing(pszTarget)) {
            /* Opened by a load since: fail, as the write in place would
             * too.  Not allowed to replace it (the user may write the file
             * but not remove it), or the temporary file held: write it in
             * place. */
            if (dwError == ERROR_ACCESS_DENIED || dwError == ERROR_UNABLE_TO_REMOVE_REPLACED ||
                dwError == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
                bKeepTemp = 1;
                result = WriteWholeFile(pszTarget, pData, cbData);
            }
            goto Exit;
        }
        /* Removed but not replaced: the temporary file is all there is. */
    }
    bKeepTemp = 1;
    if (MoveIntoPlace(szTemp, pszTarget)) {
        bTempExists = 0;
        result = 1;
    } else if (FileIsMissing(pszTarget)) {
        result = WriteWholeFile(pszTarget, pData, cbData);
    } else {
        bKeepTemp = 0;   /* another save's file took the place */
    }

Exit:
    if (result && bHaveKeep)
        PutBackWhatToKeep(pszTarget, &keep);
    if (bTempExists && (result || !bKeepTemp))
        DeleteFileW(szTemp);
    /* The old file, or the empty file that reserved its name: kept only
     * with the temporary file, as the last copies. */
    if (bBackupExists && (result || !bKeepTemp || !bOldInBackup))
        DeleteFileW(szBackup);
    return result;
}

static WCHAR AsciiLowerW(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? (WCHAR)(c - L'A' + L'a') : c;
}

/* 1 when the n units are the (lower case) text, in any letter case. */
static int SameAsciiText(const WCHAR *pszName, const WCHAR *pszText, size_t n)
{
    size_t i;

    for (i = 0; i < n; i++) {
        if (AsciiLowerW(pszName[i]) != pszText[i])
            return 0;
    }
    return 1;
}

/* 1 for a name GetTempFileNameW gives with this file's prefix. */
static int IsOwnTempName(const WCHAR *pszName)
{
    size_t cchPrefix = wcslen(KIV_TEMP_PREFIX);
    size_t cchSuffix = wcslen(KIV_TEMP_SUFFIX);
    size_t cch = wcslen(pszName);
    size_t cchDigits, i;

    if (cch <= cchPrefix + cchSuffix)
        return 0;
    cchDigits = cch - cchPrefix - cchSuffix;
    if (cchDigits > KIV_TEMP_MAX_DIGITS || !SameAsciiText(pszName, KIV_TEMP_PREFIX, cchPrefix) ||
        !SameAsciiText(pszName + cch - cchSuffix, KIV_TEMP_SUFFIX, cchSuffix))
        return 0;
    for (i = cchPrefix; i < cchPrefix + cchDigits; i++) {
        WCHAR c = AsciiLowerW(pszName[i]);
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')))
            return 0;
    }
    return 1;
}

/*
 * Removes the temporary files that saves killed in the middle left in the
 * settings folder: only names of this file's pattern, no larger than a
 * record, older than a minute, and not open (a save in progress holds its
 * file open without sharing, so the delete fails).
 */
static void RemoveStaleTempFiles(const WCHAR *pszFolder)
{
    WCHAR szPattern[KIV_SETTINGS_PATH_UNITS];
    WCHAR szPath[KIV_SETTINGS_PATH_UNITS];
    WIN32_FIND_DATAW fd;
    FILETIME ftNow;
    ULARGE_INTEGER now, written;
    HANDLE hFind;

    if (!BuildSettingsPath(szPattern, pszFolder, KIV_TEMP_PREFIX L"*" KIV_TEMP_SUFFIX))
        return;
    GetSystemTimeAsFileTime(&ftNow);
    now.LowPart = ftNow.dwLowDateTime;
    now.HighPart = ftNow.dwHighDateTime;
    hFind = FindFirstFileW(szPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        written.LowPart = fd.ftLastWriteTime.dwLowDateTime;
        written.HighPart = fd.ftLastWriteTime.dwHighDateTime;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsOwnTempName(fd.cFileName) ||
            fd.nFileSizeHigh != 0 || fd.nFileSizeLow > KIV_CFG_SIZE ||
            written.QuadPart + KIV_STALE_TEMP_AGE > now.QuadPart)
            continue;
        if (BuildSettingsPath(szPath, pszFolder, fd.cFileName))
            DeleteFileW(szPath);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
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
    RemoveStaleTempFiles(szFolder);
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
