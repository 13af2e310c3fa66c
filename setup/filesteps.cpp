/*
 * The installation's file steps: ending the product's running programs and
 * their autostart values, and copying the three file sets from setup's
 * current folder into the printer-driver folder, the system folder and the
 * install folder.
 *
 * Every source is named by its bare file name, so it is looked up in the
 * current folder: setup is started from the folder that holds the
 * product's files.
 */
#include "setupsteps.h"
#include "agentproto.h"     /* the agent's program and switches */
#include "kivclient.h"
#include "kivpath.h"

#include <psapi.h>
#include <stdlib.h>

/* Pause after ending a program, so that it has let go of its files before
 * they are replaced. */
#define KIV_AFTER_TERMINATE_MS 1000
/* First room for process identifiers; doubled while the list fills it. */
#define KIV_PROCESS_IDS_FIRST  1024
/* A machine never runs this many processes; the doubling stops here. */
#define KIV_PROCESS_IDS_LIMIT  (1024 * 1024)

const DRIVERFILEENTRY g_aDriverFiles[KIV_DRIVER_FILE_COUNT] = {
    { L"kiv.gpd",      0 },
    { L"kivui.dll",    0 },
    { L"kivuni.dll",   0 },
    { L"kivuni.ini",   0 },
    { L"unidrv.dll",   1 },
    { L"unidrv.hlp",   1 },
    { L"unidrvui.dll", 1 },
    { L"unires.dll",   1 },
    { L"stdnames.gpd", 1 },
};

/* This system's own driver files, removed from an earlier driver's folder. */
const WCHAR *const g_apszOwnDriverFiles[KIV_OWN_DRIVER_FILE_COUNT] = {
    L"kiv.gpd", L"kivui.dll", L"kivuni.dll", L"kivuni.ini",
};

const WCHAR *const g_apszSystemFiles[KIV_SYSTEM_FILE_COUNT] = {
    L"kivimg30.dll",
};

const WCHAR *const g_apszInstallFiles[KIV_INSTALL_FILE_COUNT] = {
    L"kivtray.exe", L"kivres.dll", L"kivprt.exe", L"kivhlp.chm",
};

/* The programs of this system that must not run while their files are
 * replaced. */
static const WCHAR *const g_apszOwnPrograms[] = {
    L"kivprt.exe", L"kivtray.exe",
};

#define KIV_COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

/*
 * The identifiers of the running processes in a zero-filled block that the
 * caller frees, or NULL.  EnumProcesses cannot say how much room it needs:
 * a list that fills the room may have been cut, so the room is doubled
 * until the list comes back shorter than it.
 */
static DWORD *ListProcessIds(DWORD *pcIds)
{
    DWORD *pIds = NULL;
    DWORD cRoom = KIV_PROCESS_IDS_FIRST;
    DWORD cbGot = 0;

    for (;;) {
        pIds = (DWORD *)calloc(cRoom, sizeof(DWORD));
        if (!pIds)
            break;
        if (!EnumProcesses(pIds, cRoom * sizeof(DWORD), &cbGot)) {
            free(pIds);
            pIds = NULL;
            break;
        }
        if (cbGot < cRoom * sizeof(DWORD) || cRoom >= KIV_PROCESS_IDS_LIMIT)
            break;
        free(pIds);
        pIds = NULL;
        cRoom *= 2;
    }
    *pcIds = pIds ? cbGot / sizeof(DWORD) : 0;
    return pIds;
}

/* True when the process runs one of this system's programs.  A process
 * that cannot be opened or examined (a service, another user's) is not. */
static int IsOwnProgram(DWORD dwProcessId)
{
    WCHAR szName[KIV_PATH_UNITS];
    HMODULE hModule = NULL;
    DWORD cbNeeded = 0;
    HANDLE hProcess;
    int result = 0;

    hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, dwProcessId);
    if (!hProcess)
        return 0;
    /* The first module is the program file. */
    if (EnumProcessModules(hProcess, &hModule, sizeof(hModule), &cbNeeded)) {
        ZeroMemory(szName, sizeof(szName));
        if (!GetModuleBaseNameW(hProcess, hModule, szName, KIV_PATH_UNITS))
            lstrcpyW(szName, L"unknown");
        szName[KIV_PATH_UNITS - 1] = L'\0';
        for (size_t i = 0; i < KIV_COUNT_OF(g_apszOwnPrograms); i++)
            if (lstrcmpiW(szName, g_apszOwnPrograms[i]) == 0)
                result = 1;
    }
    CloseHandle(hProcess);
    return result;
}

/* A copy of the programs that could not be ended stays in use, and its
 * files with it: the trace (and the log) names it. */
static void TraceProgramStays(DWORD dwProcessId, DWORD dwError)
{
    /* Two numbers of at most ten digits each fit with room to spare. */
    WCHAR szText[64];

    wsprintfW(szText, L"process %lu stays, error %lu", dwProcessId, dwError);
    TraceLabelled(L"end program", szText);
}

/* The privilege as it was before EnableDebugPrivilege. */
typedef struct {
    HANDLE hToken;               /* NULL: nothing to put back */
    TOKEN_PRIVILEGES previous;
} KIVPRIVILEGE;

/*
 * Other users' copies of the programs can be opened only with
 * SeDebugPrivilege enabled: their processes' DACLs grant their owner and
 * LocalSystem alone, also to an administrator.  Enabled where the token
 * holds it, for as long as the programs are being ended.
 */
static void EnableDebugPrivilege(KIVPRIVILEGE *pSaved)
{
    TOKEN_PRIVILEGES enable;
    DWORD cb = 0;

    ZeroMemory(pSaved, sizeof(*pSaved));
    enable.PrivilegeCount = 1;
    enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(NULL, L"SeDebugPrivilege", &enable.Privileges[0].Luid) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &pSaved->hToken)) {
        pSaved->hToken = NULL;
        return;
    }
    if (!AdjustTokenPrivileges(pSaved->hToken, FALSE, &enable, sizeof(pSaved->previous), &pSaved->previous, &cb)) {
        CloseHandle(pSaved->hToken);
        pSaved->hToken = NULL;
    }
}

static void RestorePrivilege(KIVPRIVILEGE *pSaved)
{
    if (pSaved->hToken == NULL)
        return;
    /* A token without the privilege changed nothing: nothing to undo. */
    if (pSaved->previous.PrivilegeCount > 0)
        AdjustTokenPrivileges(pSaved->hToken, FALSE, &pSaved->previous, 0, NULL, NULL);
    CloseHandle(pSaved->hToken);
    pSaved->hToken = NULL;
}

void TerminateRunningPrograms(void)
{
    KIVPRIVILEGE privilege;
    DWORD cIds = 0;
    DWORD *pIds = ListProcessIds(&cIds);

    if (!pIds)
        return;
    EnableDebugPrivilege(&privilege);
    for (DWORD i = 0; i < cIds; i++) {
        HANDLE hProcess;

        if (!IsOwnProgram(pIds[i]))
            continue;
        hProcess = OpenProcess(PROCESS_TERMINATE, FALSE, pIds[i]);
        if (!hProcess || !TerminateProcess(hProcess, 0)) {
            TraceProgramStays(pIds[i], GetLastError());
        } else {
            Sleep(KIV_AFTER_TERMINATE_MS);
        }
        if (hProcess)
            CloseHandle(hProcess);
    }
    RestorePrivilege(&privilege);
    free(pIds);
}

void DeleteRunValue(const char *pszValueName)
{
    HKEY hKey = NULL;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KIV_RUN_KEY_A, 0, KEY_WRITE, &hKey) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(hKey, pszValueName);
    RegCloseKey(hKey);
}

int BuildProgramCommand(const WCHAR *pszFolder, const WCHAR *pszProgram, const WCHAR *pszArgs,
                        WCHAR *pszCommand)
{
    WCHAR szProgram[KIV_PATH_UNITS];
    size_t cchProgram, cchArgs = wcslen(pszArgs);

    if (!BuildFullPath(pszFolder, pszProgram, szProgram))
        return 0;
    cchProgram = wcslen(szProgram);
    if (cchProgram + 2 + cchArgs >= KIV_COMMAND_UNITS)
        return 0;
    pszCommand[0] = L'"';
    memcpy(pszCommand + 1, szProgram, cchProgram * sizeof(WCHAR));
    pszCommand[1 + cchProgram] = L'"';
    memcpy(pszCommand + 2 + cchProgram, pszArgs, (cchArgs + 1) * sizeof(WCHAR));
    return 1;
}

/* Setup's own build's view of the key: the programs of the same build
 * read it there.  Quoted, or Windows would try "C:\Program.exe" first. */
void WriteRunValue(const WCHAR *pszValueName, const WCHAR *pszInstallDir, const WCHAR *pszProgram,
                   const WCHAR *pszArgs)
{
    WCHAR szCommand[KIV_COMMAND_UNITS];
    HKEY hKey = NULL;

    if (!BuildProgramCommand(pszInstallDir, pszProgram, pszArgs, szCommand))
        return;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"" KIV_RUN_KEY_A, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    RegSetValueExW(hKey, pszValueName, 0, REG_SZ, (const BYTE *)szCommand,
                   (DWORD)((wcslen(szCommand) + 1) * sizeof(WCHAR)));
    RegCloseKey(hKey);
}

int RunValueExists(const char *pszValueName)
{
    HKEY hKey = NULL;
    int bExists = 0;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KIV_RUN_KEY_A, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS) {
        bExists = RegQueryValueExA(hKey, pszValueName, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
        RegCloseKey(hKey);
    }
    return bExists;
}

/*
 * Setup's current folder holds the sources, and nothing may ever delete
 * or replace them: a setup folder that lost a file cannot install again.
 * A target path names such a file when setup runs from the target folder
 * itself (the system folder, say), or when a folder name came back
 * without its folder part.  The paths are compared in full, without
 * regard to case, as the file system names them.
 */
int IsInSetupFolder(const WCHAR *pszPath)
{
    WCHAR szCurrent[KIV_PATH_UNITS];
    WCHAR szFull[KIV_PATH_UNITS];
    DWORD cch;

    cch = GetCurrentDirectoryW(KIV_PATH_UNITS, szCurrent);
    if (cch == 0 || cch >= KIV_PATH_UNITS)
        return 1;
    /* "C:\setup" and "C:\" alike end with a backslash afterwards. */
    if (!BuildFullPath(szCurrent, L"", szCurrent))
        return 1;
    cch = GetFullPathNameW(pszPath, KIV_PATH_UNITS, szFull, NULL);
    if (cch == 0 || cch >= KIV_PATH_UNITS || !GetFolderOfPath(szFull, szFull))
        return 1;
    return lstrcmpiW(szFull, szCurrent) == 0;
}

static int g_bRestartPending = 0;

/*
 * A loaded library or a running program cannot be deleted or copied over,
 * but Windows lets it be renamed within its volume.  So it is renamed
 * within its folder to a name of its own ("kiv*.tmp"), which goes on the
 * restart's list of deletions, and its own name is free for the new file.
 * Listed by its own name, the deletion would hit the file that an
 * installation puts there before the restart; that is done only where the
 * rename fails and bInPlaceToo asks for it (a removal: an installation
 * must not have its own file deleted later).
 */
KIVASIDE PutAsideForRestart(const WCHAR *pszPath, int bInPlaceToo)
{
    WCHAR szFolder[KIV_PATH_UNITS];
    WCHAR szAside[KIV_PATH_UNITS];
    KIVASIDE result = KIV_ASIDE_FAILED;

    /* The name is made as an empty file, which the rename replaces. */
    if (GetFolderOfPath(pszPath, szFolder) && szFolder[0] && GetTempFileNameW(szFolder, L"kiv", 0, szAside)) {
        if (MoveFileExW(pszPath, szAside, MOVEFILE_REPLACE_EXISTING))
            result = MoveFileExW(szAside, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) ? KIV_ASIDE_RENAMED : KIV_ASIDE_FAILED;
        else
            DeleteFileW(szAside);
    }
    if (result == KIV_ASIDE_FAILED && bInPlaceToo && FileExists(pszPath) &&
        MoveFileExW(pszPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
        result = KIV_ASIDE_IN_PLACE;
    if (result != KIV_ASIDE_FAILED)
        g_bRestartPending = 1;
    return result;
}

int IsRestartPending(void)
{
    return g_bRestartPending;
}

/* Read-only or hidden targets are made plain first, so that they can be
 * deleted; what cannot be deleted is left to the copy to report. */
void DeleteFileIfPresent(const WCHAR *pszPath)
{
    if (!FileExists(pszPath) || IsInSetupFolder(pszPath))
        return;
    SetFileAttributesW(pszPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(pszPath);
}

/* 1 when the source file is in setup's folder; else says which is
 * missing. */
static int IsSourceThere(const WCHAR *pszName, KIVSETUPMSG message)
{
    if (FileExists(pszName))
        return 1;
    ShowSetupMessage(message, pszName);
    return 0;
}

/*
 * Every source the three copy steps take, looked for before the first step
 * that changes anything.  A setup folder that lacks one cannot complete
 * the installation, and the steps before the copies end the programs and
 * delete the earlier printer and its driver's files: found only at its
 * copy step, a missing file would leave a working installation broken.
 * The likely case is the uninstaller's copy of setup, started by hand from
 * the install folder, which holds none of the driver files.  The message
 * is the one the copy step would show for that file.
 */
int CheckSourceFiles(void)
{
    for (int i = 0; i < KIV_DRIVER_FILE_COUNT; i++)
        if (!IsSourceThere(g_aDriverFiles[i].szFileName, KIV_MSG_DRIVER_SOURCE_MISSING))
            return 0;
    for (int i = 0; i < KIV_SYSTEM_FILE_COUNT; i++)
        if (!IsSourceThere(g_apszSystemFiles[i], KIV_MSG_SOURCE_MISSING))
            return 0;
    for (int i = 0; i < KIV_INSTALL_FILE_COUNT; i++)
        if (!IsSourceThere(g_apszInstallFiles[i], KIV_MSG_SOURCE_MISSING))
            return 0;
    return 1;
}

/* CopyFileW copies a file's alternate streams with it, the mark Windows
 * gives downloaded files ("Zone.Identifier") among them.  A setup folder
 * unpacked from a download carries the mark on every file: the help
 * viewer then refuses the help file's pages, and Windows asks before
 * starting a marked program.  The copy drops it; a file system without
 * streams refuses the name, which changes nothing. */
static BOOL CopyWithoutZoneMark(const WCHAR *pszSource, const WCHAR *pszTarget)
{
    static const WCHAR szMark[] = L":Zone.Identifier";
    WCHAR szStream[KIV_PATH_UNITS + KIV_COUNT_OF(szMark)];
    size_t cch = wcslen(pszTarget);

    if (!CopyFileW(pszSource, pszTarget, FALSE))
        return FALSE;
    if (cch < KIV_PATH_UNITS) {
        CopyMemory(szStream, pszTarget, cch * sizeof(WCHAR));
        CopyMemory(szStream + cch, szMark, sizeof(szMark));
        DeleteFileW(szStream);
    }
    return TRUE;
}

/*
 * The driver file table into the printer-driver folder, where
 * AddPrinterDriverExW picks the files up.  Every source must be present,
 * also the Universal Printer Driver rows whose targets the system already
 * has: the setup folder is incomplete otherwise.  Those rows are copied
 * only when the target is absent, and a failed copy of them is left for
 * the driver registration to notice.
 */
int CopyDriverFiles(const WCHAR *pszDriverDir)
{
    for (int i = 0; i < KIV_DRIVER_FILE_COUNT; i++) {
        const DRIVERFILEENTRY *pRow = &g_aDriverFiles[i];
        WCHAR szTarget[KIV_PATH_UNITS];

        BuildFullPath(pszDriverDir, pRow->szFileName, szTarget);
        if (!IsSourceThere(pRow->szFileName, KIV_MSG_DRIVER_SOURCE_MISSING))
            return 0;
        /* Run from the printer-driver folder itself: the file is in place. */
        if (IsInSetupFolder(szTarget))
            continue;
        if (pRow->bCopyIfMissing) {
            if (!FileExists(szTarget))
                CopyWithoutZoneMark(pRow->szFileName, szTarget);
            continue;
        }
        DeleteFileIfPresent(szTarget);
        if (!CopyWithoutZoneMark(pRow->szFileName, szTarget)) {
            ShowSetupMessage(KIV_MSG_DRIVER_COPY_FAILED, pRow->szFileName, szTarget);
            return 0;
        }
    }
    return 1;
}

/* One file into a folder, replacing what is there.  When the copy fails
 * and the old file is still there, something holds it open: say so, since
 * closing programs or restarting is what helps then. */
static int CopySetupFile(const WCHAR *pszName, const WCHAR *pszFolder)
{
    WCHAR szTarget[KIV_PATH_UNITS];

    BuildFullPath(pszFolder, pszName, szTarget);
    if (!IsSourceThere(pszName, KIV_MSG_SOURCE_MISSING))
        return 0;
    /* Run from the target folder itself: the file is in place. */
    if (IsInSetupFolder(szTarget))
        return 1;
    DeleteFileIfPresent(szTarget);
    /* Still there: loaded (the image library by the spooler or by an
     * application that printed) or running.  Renamed aside, it frees its
     * name for the new copy. */
    if (FileExists(szTarget))
        PutAsideForRestart(szTarget, 0);
    if (!CopyWithoutZoneMark(pszName, szTarget)) {
        if (FileExists(szTarget))
            ShowSetupMessage(KIV_MSG_TARGET_IN_USE, pszName, pszFolder);
        else
            ShowSetupMessage(KIV_MSG_COPY_FAILED, pszName, szTarget);
        return 0;
    }
    return 1;
}

int CopySetupFiles(const WCHAR *const *apszNames, int cNames, const WCHAR *pszFolder)
{
    for (int i = 0; i < cNames; i++)
        if (!CopySetupFile(apszNames[i], pszFolder))
            return 0;
    return 1;
}

/* Fills in the install folder (with its trailing backslash), creating it
 * when it is missing. */
int PrepareInstallFolder(WCHAR *pszInstallDir)
{
    if (KivImagePrinterFolderExist(pszInstallDir))
        return 1;
    /* The path comes back without its trailing backslash, so the whole
     * path is created, the install folder itself included. */
    CreateFolderTree(pszInstallDir, 0);
    if (KivImagePrinterFolderExist(pszInstallDir))
        return 1;
    ShowSetupMessage(KIV_MSG_FOLDER_FAILED, pszInstallDir);
    return 0;
}

/* The spooler has taken its own copies of the driver files by now; the
 * staged ones would only mislead the next installation. */
void RemoveStagedDriverFiles(const WCHAR *pszDriverDir)
{
    for (int i = 0; i < KIV_DRIVER_FILE_COUNT; i++) {
        WCHAR szTarget[KIV_PATH_UNITS];

        BuildFullPath(pszDriverDir, g_aDriverFiles[i].szFileName, szTarget);
        DeleteFileIfPresent(szTarget);
    }
}
