/*
 * Removal of the product: "kivsetup /uninstall", from Add or Remove
 * Programs or from the setup folder, and "kivsetup /uninstall /quiet" for
 * unattended removal.
 *
 * It undoes what the installation made and nothing else: it ends the
 * product's programs, deletes the printers on the product's driver, the
 * driver of this build's environment, the port "kiv", the paper forms of
 * the form table, the program files, the autostart values and the Add or
 * Remove Programs entry.  The settings files stay: they are the users' own
 * settings, and a later installation uses them again.
 *
 * Every step is tried, whatever the steps before it did, so that one
 * obstacle never leaves the rest installed.  What was removed and what was
 * not goes into one closing message, and each item that stays is also
 * written to the debugger output stream.  A file in use is deleted when
 * Windows restarts.  The exit code tells whether anything of the product
 * is left: KIV_UNINSTALL_ALL_GONE or KIV_UNINSTALL_SOME_LEFT.
 */
#include "setupsteps.h"
#include "agentobjects.h"  /* where the agent runs */
#include "agentproto.h"
#include "kivclient.h"     /* FileExists */

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <winspool.h>

/* The tray's window class (the product name) and its quit message. */
#define KIV_TRAY_CLASS_W        KIV_PRINTER_NAME_W
#define KIV_TRAY_QUIT_MSG_W     L"KivPrinterTrayMsg30"
#define KIV_XCV_DELETE_PORT     L"DeletePort"

/* How long a program that was asked to end is waited for, in steps of
 * KIV_END_POLL_MS; after that it is ended as the installation ends it. */
#define KIV_END_WAIT_MS         5000
#define KIV_END_POLL_MS         100
/* Room the port monitor may write its answer into. */
#define KIV_XCV_OUTPUT_BYTES    100
/* Room of each list of the closing message: some thirty items with full
 * paths; a list that would overflow is cut after its last whole item. */
#define KIV_REPORT_UNITS        4096
#define KIV_CLOSING_UNITS       (3 * KIV_REPORT_UNITS + 2 * KIV_MESSAGE_UNITS)

#define KIV_COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

/* What one removal did, for the closing message and the exit code. */
typedef struct {
    WCHAR szRemoved[KIV_REPORT_UNITS];     /* "\n- item" for each item removed */
    WCHAR szNotRemoved[KIV_REPORT_UNITS];  /* "\n- item" for each item that stays */
    WCHAR szNotes[KIV_REPORT_UNITS];       /* "\n\nnote" for what restarts or kept folders leave */
    int cRemoved;
    int cNotRemoved;
    /* A printer on the product's driver or the driver stays (jobs or open
     * handles keep them on Windows): removal is to be run again. */
    int bSpoolerStays;
} UNINSTALLREPORT;

/* ---- The report ---------------------------------------------------------- */

/* Appends text unless it would not fit. */
static void AppendText(WCHAR *pszText, size_t cchText, const WCHAR *pszMore)
{
    size_t cchHave = wcslen(pszText), cchMore = wcslen(pszMore);

    if (cchHave + cchMore + 1 > cchText)
        return;
    memcpy(pszText + cchHave, pszMore, (cchMore + 1) * sizeof(WCHAR));
}

/* Appends a separator and an item as one piece, so that a list cut short
 * never ends with half an item. */
static void AppendItem(WCHAR *pszText, size_t cchText, const WCHAR *pszSeparator, const WCHAR *pszItem)
{
    WCHAR szPiece[KIV_MESSAGE_UNITS + 4];
    size_t cchSeparator = wcslen(pszSeparator), cchItem = wcslen(pszItem);

    if (cchSeparator + cchItem + 1 > KIV_COUNT_OF(szPiece))
        return;
    memcpy(szPiece, pszSeparator, cchSeparator * sizeof(WCHAR));
    memcpy(szPiece + cchSeparator, pszItem, (cchItem + 1) * sizeof(WCHAR));
    AppendText(pszText, cchText, szPiece);
}

/* pszOut (KIV_MESSAGE_UNITS) := a part of the closing message, filled in. */
static void FormatTextV(WCHAR *pszOut, KIVUNINSTALLPART id, va_list args)
{
    wvsprintfW(pszOut, g_apszUninstallParts[id], args);
    pszOut[KIV_MESSAGE_UNITS - 1] = L'\0';
}

static void FormatText(WCHAR *pszOut, KIVUNINSTALLPART id, ...)
{
    va_list args;

    va_start(args, id);
    FormatTextV(pszOut, id, args);
    va_end(args);
}

static void RecordRemoved(UNINSTALLREPORT *pReport, KIVUNINSTALLPART id, ...)
{
    WCHAR szItem[KIV_MESSAGE_UNITS];
    va_list args;

    va_start(args, id);
    FormatTextV(szItem, id, args);
    va_end(args);
    AppendItem(pReport->szRemoved, KIV_REPORT_UNITS, L"\n- ", szItem);
    pReport->cRemoved++;
}

/* An item that stays, with the system's reason when dwError is not 0. */
static void RecordNotRemoved(UNINSTALLREPORT *pReport, DWORD dwError, KIVUNINSTALLPART id, ...)
{
    WCHAR szItem[KIV_MESSAGE_UNITS];
    WCHAR szLine[KIV_MESSAGE_UNITS];
    va_list args;

    va_start(args, id);
    FormatTextV(szItem, id, args);
    va_end(args);
    if (dwError)
        FormatText(szLine, KIV_UPART_ERROR, szItem, dwError);
    else
        memcpy(szLine, szItem, sizeof(szLine));
    AppendItem(pReport->szNotRemoved, KIV_REPORT_UNITS, L"\n- ", szLine);
    TraceLabelled(L"uninstall", szLine);
    pReport->cNotRemoved++;
}

/* What stays on purpose, or goes only at the restart: no failure. */
static void RecordNote(UNINSTALLREPORT *pReport, KIVUNINSTALLPART id, ...)
{
    WCHAR szNote[KIV_MESSAGE_UNITS];
    va_list args;

    va_start(args, id);
    FormatTextV(szNote, id, args);
    va_end(args);
    AppendItem(pReport->szNotes, KIV_REPORT_UNITS, L"\n\n", szNote);
}

static int IsKivDriverName(const WCHAR *pszName)
{
    return pszName && lstrcmpiW(pszName, KIV_PRINTER_NAME_W) == 0;
}

/* A printer's port field lists its ports, separated by commas. */
static int UsesKivPort(const WCHAR *pszPorts)
{
    size_t cchPort = wcslen(KIV_PORT_NAME);
    const WCHAR *p = pszPorts;

    while (p && *p) {
        const WCHAR *pEnd = KivFindChar(p, L',');
        size_t cch = pEnd ? (size_t)(pEnd - p) : wcslen(p);
        WCHAR szPort[8];

        if (cch == cchPort) {
            memcpy(szPort, p, cch * sizeof(WCHAR));
            szPort[cch] = L'\0';
            if (lstrcmpiW(szPort, KIV_PORT_NAME) == 0)
                return 1;
        }
        p = pEnd ? pEnd + 1 : NULL;
    }
    return 0;
}

/* ---- Running programs ---------------------------------------------------- */

/* The tray quits on its registered message, which only its own message
 * loop sees: posted, never sent. */
static void EndTray(void)
{
    HWND hTray = FindWindowW(KIV_TRAY_CLASS_W, NULL);
    UINT uQuit = RegisterWindowMessageW(KIV_TRAY_QUIT_MSG_W);
    DWORD dwProcessId = 0;
    HANDLE hProcess = NULL;

    if (!hTray || !uQuit)
        return;
    GetWindowThreadProcessId(hTray, &dwProcessId);
    if (dwProcessId)
        hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
    PostMessageW(hTray, uQuit, 0, 0);
    if (hProcess) {
        WaitForSingleObject(hProcess, KIV_END_WAIT_MS);
        CloseHandle(hProcess);
    }
}

/* Where a client of this thread would find it (agentobjects.h). */
static int AgentIsRunning(void)
{
    KIVAGENTPLACE place;

    return KivAgentFindPlace(&place) && KivAgentIsRunning(&place);
}

/* The serving agent is told to quit by its own program in stop mode; it
 * is gone when its instance mutex is. */
static void StopAgent(const WCHAR *pszInstallDir)
{
    WCHAR szProgram[KIV_PATH_UNITS];
    WCHAR szCommand[KIV_COMMAND_UNITS];
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;

    if (!AgentIsRunning() || !BuildFullPath(pszInstallDir, KIV_AGENT_EXE_NAME, szProgram) ||
        !FileExists(szProgram) ||
        !BuildProgramCommand(pszInstallDir, KIV_AGENT_EXE_NAME, KIV_AGENT_STOP_ARGS, szCommand))
        return;

    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ZeroMemory(&process, sizeof(process));
    if (!CreateProcessW(NULL, szCommand, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return;
    WaitForSingleObject(process.hProcess, KIV_END_WAIT_MS);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; waited < KIV_END_WAIT_MS && AgentIsRunning(); waited += KIV_END_POLL_MS)
        Sleep(KIV_END_POLL_MS);
}

/* ---- Spooler objects ----------------------------------------------------- */

/* Every printer on the product's driver, whatever its name: the driver
 * cannot go while one uses it.  Printers on other drivers stay, also one
 * whose name looks like the product's. */
static void DeleteKivPrinters(UNINSTALLREPORT *pReport)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    DWORD cEntries = 0, dwError = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_PRINTERS, 2, &cEntries, &dwError);
    const PRINTER_INFO_2W *pEntries = (const PRINTER_INFO_2W *)pBlock;

    if (!pBlock) {
        RecordNotRemoved(pReport, dwError, KIV_UPART_PRINTER, KIV_PRINTER_NAME_W);
        pReport->bSpoolerStays = 1;
        return;
    }
    for (DWORD i = 0; i < cEntries; i++) {
        HANDLE hPrinter = NULL;

        if (!IsKivDriverName(pEntries[i].pDriverName) || !pEntries[i].pPrinterName)
            continue;
        if (!OpenPrinterW(pEntries[i].pPrinterName, &hPrinter, &defaults)) {
            RecordNotRemoved(pReport, GetLastError(), KIV_UPART_PRINTER, pEntries[i].pPrinterName);
            pReport->bSpoolerStays = 1;
            continue;
        }
        /* A printer with jobs is only marked for deletion, and keeps its
         * driver and port until the jobs are gone; a paused one with jobs
         * is not deleted at all.  Resumed only once purged, so that no
         * queued job prints on the way. */
        SetPrinterW(hPrinter, 0, NULL, PRINTER_CONTROL_PURGE);
        SetPrinterW(hPrinter, 0, NULL, PRINTER_CONTROL_RESUME);
        if (DeletePrinter(hPrinter)) {
            RecordRemoved(pReport, KIV_UPART_PRINTER, pEntries[i].pPrinterName);
        } else {
            RecordNotRemoved(pReport, GetLastError(), KIV_UPART_PRINTER, pEntries[i].pPrinterName);
            pReport->bSpoolerStays = 1;
        }
        ClosePrinter(hPrinter);
    }
    free(pBlock);
}

/* The files of a driver record, one after the other: its four single
 * files, then its dependent files.  *piNext starts at 0 and *ppNext at
 * NULL; NULL when there are no more.  A missing single file is skipped. */
static const WCHAR *NextDriverFile(const DRIVER_INFO_3W *pDriver, size_t *piNext, const WCHAR **ppNext)
{
    const WCHAR *apszSingle[] = { pDriver->pDriverPath, pDriver->pDataFile, pDriver->pConfigFile,
                                  pDriver->pHelpFile };
    const WCHAR *pszFile;

    while (*piNext < KIV_COUNT_OF(apszSingle))
        if ((pszFile = apszSingle[(*piNext)++]) != NULL)
            return pszFile;
    if (*piNext == KIV_COUNT_OF(apszSingle)) {
        (*piNext)++;
        *ppNext = pDriver->pDependentFiles;
    }
    if (!*ppNext || !**ppNext)
        return NULL;
    pszFile = *ppNext;
    *ppNext += wcslen(pszFile) + 1;
    return pszFile;
}

/* 1 when the driver record names the file (a full path) among its own. */
static int DriverNamesFile(const DRIVER_INFO_3W *pDriver, const WCHAR *pszFile)
{
    size_t iNext = 0;
    const WCHAR *pNext = NULL, *pszNamed;

    while ((pszNamed = NextDriverFile(pDriver, &iNext, &pNext)) != NULL)
        if (lstrcmpiW(pszNamed, pszFile) == 0)
            return 1;
    return 0;
}

/* 1 when the path names one of the product's own driver files; the
 * Universal Printer Driver's files are shared with other printers. */
static int IsOwnDriverFile(const WCHAR *pszPath)
{
    const WCHAR *pszName = wcsrchr(pszPath, L'\\');

    pszName = pszName ? pszName + 1 : pszPath;
    for (int i = 0; i < KIV_OWN_DRIVER_FILE_COUNT; i++)
        if (lstrcmpiW(pszName, g_apszOwnDriverFiles[i]) == 0)
            return 1;
    return 0;
}

static void DeleteProductFile(UNINSTALLREPORT *pReport, const WCHAR *pszPath);

/* The product's own files of the deleted driver record that no driver of
 * any environment still names. */
static void DeleteOwnDriverFiles(UNINSTALLREPORT *pReport, const DRIVER_INFO_3W *pDriver)
{
    DWORD cLeft = 0, dwError = 0;
    BYTE *pLeft = EnumSpoolerList(KIV_LIST_ALL_DRIVERS, 3, &cLeft, &dwError);
    const DRIVER_INFO_3W *pDrivers = (const DRIVER_INFO_3W *)pLeft;
    size_t iNext = 0;
    const WCHAR *pNext = NULL, *pszFile;

    if (!pLeft)
        return;   /* unknown who else uses them: the files stay */
    while ((pszFile = NextDriverFile(pDriver, &iNext, &pNext)) != NULL) {
        int bNamed = 0;

        if (!IsOwnDriverFile(pszFile))
            continue;
        for (DWORD d = 0; d < cLeft && !bNamed; d++)
            bNamed = DriverNamesFile(&pDrivers[d], pszFile);
        if (!bNamed)
            DeleteProductFile(pReport, pszFile);
    }
    free(pLeft);
}

/*
 * The driver of this build's environment, never the other's: the other
 * build's installation keeps its own.  The spooler is asked to delete the
 * driver's files that no other driver uses, and is trusted with them: it
 * counts every user, and defers the files in use.  Only a spooler that
 * knows no deletion flags deletes the registration alone; then the
 * product's own driver files that no driver names are deleted here, and
 * the shared files of the Universal Printer Driver always stay.
 */
static void DeleteKivDriver(UNINSTALLREPORT *pReport)
{
    WCHAR szEnvironment[] = KIV_PRINTER_ENV;
    WCHAR szName[] = KIV_PRINTER_NAME_W;
    DWORD cEntries = 0, dwError = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_DRIVERS, 3, &cEntries, &dwError);
    const DRIVER_INFO_3W *pEntries = (const DRIVER_INFO_3W *)pBlock;
    const DRIVER_INFO_3W *pDriver = NULL;
    BOOL bDeleted, bFilesLeft = FALSE;

    if (!pBlock) {
        RecordNotRemoved(pReport, dwError, KIV_UPART_DRIVER, szName, szEnvironment);
        pReport->bSpoolerStays = 1;
        return;
    }
    for (DWORD i = 0; i < cEntries && !pDriver; i++)
        if (IsKivDriverName(pEntries[i].pName))
            pDriver = &pEntries[i];
    if (!pDriver)
        goto Exit;

    bDeleted = DeletePrinterDriverExW(NULL, szEnvironment, szName,
                                      DPD_DELETE_UNUSED_FILES | DPD_DELETE_SPECIFIC_VERSION, pDriver->cVersion);
    /* A spooler that knows no deletion flags (Wine's) refuses them as an
     * invalid parameter; it deletes the registration alone. */
    if (!bDeleted && GetLastError() == ERROR_INVALID_PARAMETER) {
        bDeleted = DeletePrinterDriverExW(NULL, szEnvironment, szName, 0, 0);
        bFilesLeft = bDeleted;
    }
    if (!bDeleted) {
        RecordNotRemoved(pReport, GetLastError(), KIV_UPART_DRIVER, szName, szEnvironment);
        pReport->bSpoolerStays = 1;
        goto Exit;
    }
    RecordRemoved(pReport, KIV_UPART_DRIVER, szName, szEnvironment);
    if (bFilesLeft)
        DeleteOwnDriverFiles(pReport, pDriver);

Exit:
    free(pBlock);
}

/* A printer that is still there and prints to the port, or an empty name.
 * 0 (with the error) when the printers cannot be listed. */
static int FindPortUser(WCHAR *pszPrinter, size_t cchPrinter, DWORD *pdwError)
{
    DWORD cEntries = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_PRINTERS, 2, &cEntries, pdwError);
    const PRINTER_INFO_2W *pEntries = (const PRINTER_INFO_2W *)pBlock;
    int bRead = pBlock != NULL;

    pszPrinter[0] = L'\0';
    for (DWORD i = 0; pBlock && i < cEntries && !pszPrinter[0]; i++) {
        if (!pEntries[i].pPrinterName || !UsesKivPort(pEntries[i].pPortName))
            continue;
        /* A name too long for the room is cut: it only names the printer
         * to the user, and a cut name is still not empty. */
        size_t cch = wcslen(pEntries[i].pPrinterName);
        if (cch >= cchPrinter)
            cch = cchPrinter - 1;
        memcpy(pszPrinter, pEntries[i].pPrinterName, cch * sizeof(WCHAR));
        pszPrinter[cch] = L'\0';
    }
    free(pBlock);
    return bRead;
}

/* The port "kiv" (under any spelling the installation takes for it),
 * unless a printer that stays still prints to it: then it is that
 * printer's port as well, and stays with it. */
static void DeleteKivPort(UNINSTALLREPORT *pReport)
{
    WCHAR szXcv[] = KIV_XCV_LOCAL_PORT;
    WCHAR szPort[] = KIV_PORT_NAME;
    WCHAR szUser[KIV_PATH_UNITS];
    PRINTER_DEFAULTSW defaults = { NULL, NULL, SERVER_ACCESS_ADMINISTER };
    HANDLE hXcv = NULL;
    BYTE *pOutput;
    DWORD cbNeeded = 0, dwStatus = 0, dwError = 0;

    if (!LocalPortExists())
        return;
    /* Unknown whether a printer still prints to it: it stays. */
    if (!FindPortUser(szUser, KIV_COUNT_OF(szUser), &dwError)) {
        RecordNotRemoved(pReport, dwError, KIV_UPART_PORT, szPort);
        return;
    }
    if (szUser[0]) {
        RecordNote(pReport, KIV_UPART_PORT_USED, szPort, szUser);
        return;
    }
    if (!OpenPrinterW(szXcv, &hXcv, &defaults)) {
        RecordNotRemoved(pReport, GetLastError(), KIV_UPART_PORT, szPort);
        return;
    }
    pOutput = (BYTE *)calloc(KIV_XCV_OUTPUT_BYTES, 1);
    if (!pOutput)
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    else if (!XcvDataW(hXcv, KIV_XCV_DELETE_PORT, (PBYTE)szPort, sizeof(szPort), pOutput, KIV_XCV_OUTPUT_BYTES,
                       &cbNeeded, &dwStatus))
        dwError = GetLastError();
    else
        dwError = dwStatus;   /* the monitor's own answer */
    free(pOutput);
    ClosePrinter(hXcv);
    if (dwError)
        RecordNotRemoved(pReport, dwError, KIV_UPART_PORT, szPort);
    else
        RecordRemoved(pReport, KIV_UPART_PORT, szPort);
}

/* 1 when a printer's default settings name the form. */
static int FormOfAnyPrinter(const WCHAR *pszForm, const PRINTER_INFO_2W *pPrinters, DWORD cPrinters)
{
    for (DWORD i = 0; i < cPrinters; i++) {
        const DEVMODEW *pDevMode = pPrinters[i].pDevMode;

        if (pDevMode && (pDevMode->dmFields & DM_FORMNAME) &&
            wcsncmp(pDevMode->dmFormName, pszForm, CCHFORMNAME) == 0)
            return 1;
    }
    return 0;
}

/*
 * The forms the installations added themselves, through the print server:
 * forms belong to it, not to the printer, which is gone by now.  A form
 * that existed before, or that a remaining printer's default settings
 * name, stays: the server keeps no count of a form's users, and those
 * printers would fall back to another sheet.  Only a form the server
 * knows is deleted, so another run finds nothing to do.
 */
static void DeleteKivForms(UNINSTALLREPORT *pReport)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, SERVER_ACCESS_ADMINISTER };
    HANDLE hServer = NULL;
    DWORD dwAdded = ReadAddedFormsRecord(), cPrinters = 0, dwError = 0;
    BYTE *pPrinters = NULL;
    int cDeleted = 0;

    if (!dwAdded)
        return;
    pPrinters = EnumSpoolerList(KIV_LIST_PRINTERS, 2, &cPrinters, &dwError);
    if (!pPrinters) {
        RecordNotRemoved(pReport, dwError, KIV_UPART_FORMS, KIV_PAPER_FORM_COUNT);
        return;   /* unknown which forms the printers use */
    }
    if (!OpenPrinterW(NULL, &hServer, &defaults)) {
        RecordNotRemoved(pReport, GetLastError(), KIV_UPART_FORMS, KIV_PAPER_FORM_COUNT);
        free(pPrinters);
        return;
    }
    for (int i = 0; i < KIV_PAPER_FORM_COUNT; i++) {
        WCHAR szName[KIV_FORM_NAME_UNITS];
        DWORD cbNeeded = 0;

        if (!(dwAdded & (1UL << i)) ||
            FormOfAnyPrinter(g_aPaperForms[i].szFormName, (const PRINTER_INFO_2W *)pPrinters, cPrinters))
            continue;
        /* The spooler's calls want a writable name. */
        memcpy(szName, g_aPaperForms[i].szFormName, sizeof(szName));
        /* Asked without room: a known form answers "insufficient buffer". */
        SetLastError(ERROR_SUCCESS);
        if (!GetFormW(hServer, szName, 1, NULL, 0, &cbNeeded) && GetLastError() == ERROR_INVALID_FORM_NAME)
            continue;
        if (DeleteFormW(hServer, szName))
            cDeleted++;
        else if (GetLastError() != ERROR_INVALID_FORM_NAME)
            RecordNotRemoved(pReport, GetLastError(), KIV_UPART_FORM, szName);
    }
    ClosePrinter(hServer);
    free(pPrinters);
    if (cDeleted)
        RecordRemoved(pReport, KIV_UPART_FORMS, cDeleted);
}

/* ---- Files ---------------------------------------------------------------- */

typedef enum {
    KIV_FILE_ABSENT,
    KIV_FILE_DELETED,
    KIV_FILE_AT_RESTART,   /* in use: deleted when Windows restarts */
    KIV_FILE_STAYS
} KIVFILEFATE;

/* A file in use goes when Windows restarts (PutAsideForRestart).  Renamed
 * aside, it is as good as removed: nothing of the product keeps its name,
 * and a package's removal need not fail for it.  Listed under its own
 * name, it stays in the way of the next installation until then. */
static KIVFILEFATE DeleteProductFileFate(UNINSTALLREPORT *pReport, const WCHAR *pszPath)
{
    KIVASIDE aside;

    if (!FileExists(pszPath))
        return KIV_FILE_ABSENT;
    SetFileAttributesW(pszPath, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(pszPath)) {
        RecordRemoved(pReport, KIV_UPART_FILE, pszPath);
        return KIV_FILE_DELETED;
    }
    aside = PutAsideForRestart(pszPath, 1);
    if (aside == KIV_ASIDE_RENAMED) {
        RecordRemoved(pReport, KIV_UPART_AT_RESTART, pszPath);
        return KIV_FILE_AT_RESTART;
    }
    if (aside == KIV_ASIDE_IN_PLACE) {
        RecordNotRemoved(pReport, 0, KIV_UPART_AT_RESTART, pszPath);
        return KIV_FILE_AT_RESTART;
    }
    RecordNotRemoved(pReport, GetLastError(), KIV_UPART_FILE, pszPath);
    return KIV_FILE_STAYS;
}

static void DeleteProductFile(UNINSTALLREPORT *pReport, const WCHAR *pszPath)
{
    DeleteProductFileFate(pReport, pszPath);
}

/* The running uninstaller cannot delete its own program file: it goes
 * when Windows restarts, which is no failure of the removal. */
static KIVFILEFATE DeleteOwnProgram(UNINSTALLREPORT *pReport, const WCHAR *pszPath)
{
    if (!FileExists(pszPath))
        return KIV_FILE_ABSENT;
    if (PutAsideForRestart(pszPath, 1) != KIV_ASIDE_FAILED) {
        RecordNote(pReport, KIV_UPART_SELF, pszPath);
        return KIV_FILE_AT_RESTART;
    }
    RecordNotRemoved(pReport, GetLastError(), KIV_UPART_FILE, pszPath);
    return KIV_FILE_STAYS;
}

static int IsOwnProgramFile(const WCHAR *pszPath)
{
    WCHAR szSelf[KIV_PATH_UNITS];
    DWORD cch = GetModuleFileNameW(NULL, szSelf, KIV_PATH_UNITS);

    return cch > 0 && cch < KIV_PATH_UNITS && lstrcmpiW(szSelf, pszPath) == 0;
}

/* Entries of a folder other than "." and "..". */
static int CountFolderEntries(const WCHAR *pszFolder)
{
    WCHAR szPattern[KIV_PATH_UNITS];
    WIN32_FIND_DATAW found;
    HANDLE hFind;
    int cEntries = 0;

    if (!BuildFullPath(pszFolder, L"*", szPattern))
        return -1;
    hFind = FindFirstFileW(szPattern, &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            cEntries++;
    } while (FindNextFileW(hFind, &found));
    FindClose(hFind);
    return cEntries;
}

/* The install folder goes when nothing but the files that go at the
 * restart is left in it; other files (the settings files among them) keep
 * it. */
static void DeleteInstallFolder(UNINSTALLREPORT *pReport, const WCHAR *pszInstallDir, int cAtRestart)
{
    WCHAR szFolder[KIV_PATH_UNITS];
    size_t cch = wcslen(pszInstallDir);
    DWORD dwError;
    int cEntries;

    if (cch == 0 || cch >= KIV_PATH_UNITS)
        return;
    memcpy(szFolder, pszInstallDir, (cch + 1) * sizeof(WCHAR));
    if (szFolder[cch - 1] == L'\\')
        szFolder[cch - 1] = L'\0';

    if (RemoveDirectoryW(szFolder)) {
        RecordRemoved(pReport, KIV_UPART_FOLDER, szFolder);
        return;
    }
    dwError = GetLastError();
    cEntries = CountFolderEntries(szFolder);
    if (cEntries < 0) {
        RecordNotRemoved(pReport, dwError, KIV_UPART_FOLDER, szFolder);
        return;
    }
    if (cEntries > cAtRestart) {
        RecordNote(pReport, KIV_UPART_FOLDER_KEPT, szFolder);
        return;
    }
    /* Deleted after the files in it, which are on the restart's list
     * already; those were named, so the folder is only a note.  An empty
     * folder that is in use is an item of its own. */
    if (!MoveFileExW(szFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
        RecordNotRemoved(pReport, GetLastError(), KIV_UPART_FOLDER, szFolder);
    else if (cAtRestart > 0)
        RecordNote(pReport, KIV_UPART_FOLDER_LATER, szFolder);
    else
        RecordNotRemoved(pReport, 0, KIV_UPART_AT_RESTART, szFolder);
}

/* The files the installation copied into the system folder and the
 * install folder, setup's own copy included (unless the removal is to be
 * run again), and then the folder. */
static void DeleteProgramFiles(UNINSTALLREPORT *pReport)
{
    WCHAR szSystemDir[KIV_PATH_UNITS];
    WCHAR szInstallDir[KIV_INSTALL_FOLDER_UNITS];
    WCHAR szPath[KIV_PATH_UNITS];
    UINT cchSystem = GetSystemDirectoryW(szSystemDir, KIV_PATH_UNITS);
    int cAtRestart = 0;

    if (cchSystem > 0 && cchSystem < KIV_PATH_UNITS)
        for (int i = 0; i < KIV_SYSTEM_FILE_COUNT; i++)
            if (BuildFullPath(szSystemDir, g_apszSystemFiles[i], szPath))
                DeleteProductFile(pReport, szPath);

    if (!KivImagePrinterFolderExist(szInstallDir))
        return;
    for (int i = 0; i <= KIV_INSTALL_FILE_COUNT; i++) {
        const WCHAR *pszName = i < KIV_INSTALL_FILE_COUNT ? g_apszInstallFiles[i] : KIV_SETUP_PROGRAM;
        KIVFILEFATE fate;

        if (!BuildFullPath(szInstallDir, pszName, szPath))
            continue;
        if (i == KIV_INSTALL_FILE_COUNT && pReport->bSpoolerStays) {
            RecordNote(pReport, KIV_UPART_ENTRY_KEPT, szPath);
            continue;
        }
        if (IsOwnProgramFile(szPath))
            fate = DeleteOwnProgram(pReport, szPath);
        else
            fate = DeleteProductFileFate(pReport, szPath);
        if (fate == KIV_FILE_AT_RESTART)
            cAtRestart++;
    }
    DeleteInstallFolder(pReport, szInstallDir, cAtRestart);
}

/* ---- Registry ------------------------------------------------------------- */

/* The autostart values of the agent and the tray under one Run key.
 * Deleted after both programs ended: the agent writes its value again
 * whenever it starts. */
static void DeleteRunValuesUnder(UNINSTALLREPORT *pReport, HKEY hRoot)
{
    static const char *const apszValues[] = { KIV_RUN_VALUE_AGENT, KIV_RUN_VALUE_TRAY };
    static const WCHAR *const apszNames[] = { L"" KIV_RUN_VALUE_AGENT, L"" KIV_RUN_VALUE_TRAY };
    HKEY hKey = NULL;

    if (RegOpenKeyExA(hRoot, KIV_RUN_KEY_A, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &hKey) != ERROR_SUCCESS) {
        /* Without the right to change it, see whether anything is there. */
        if (RegOpenKeyExA(hRoot, KIV_RUN_KEY_A, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
            return;
        for (size_t i = 0; i < KIV_COUNT_OF(apszValues); i++)
            if (RegQueryValueExA(hKey, apszValues[i], NULL, NULL, NULL, NULL) == ERROR_SUCCESS)
                RecordNotRemoved(pReport, ERROR_ACCESS_DENIED, KIV_UPART_RUN_VALUE, apszNames[i]);
        RegCloseKey(hKey);
        return;
    }
    for (size_t i = 0; i < KIV_COUNT_OF(apszValues); i++) {
        LONG rc;

        if (RegQueryValueExA(hKey, apszValues[i], NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            continue;
        rc = RegDeleteValueA(hKey, apszValues[i]);
        if (rc == ERROR_SUCCESS)
            RecordRemoved(pReport, KIV_UPART_RUN_VALUE, apszNames[i]);
        else
            RecordNotRemoved(pReport, (DWORD)rc, KIV_UPART_RUN_VALUE, apszNames[i]);
    }
    RegCloseKey(hKey);
}

/* The Run keys of every user hive loaded under HKEY_USERS (the users who
 * are logged on, and the services' own).  A user who is not logged on
 * keeps the values; Windows skips them, since they name a program that is
 * gone.  Each user's classes hive ("<SID>_Classes") has no Run key. */
static void DeleteRunValuesOfLoadedUsers(UNINSTALLREPORT *pReport)
{
    static const WCHAR szClasses[] = L"_Classes";
    const size_t cchClasses = KIV_COUNT_OF(szClasses) - 1;
    WCHAR szName[256];
    HKEY hUser;

    for (DWORD i = 0;; i++) {
        DWORD cchName = KIV_COUNT_OF(szName);
        LONG rc = RegEnumKeyExW(HKEY_USERS, i, szName, &cchName, NULL, NULL, NULL, NULL);

        if (rc == ERROR_MORE_DATA)
            continue;   /* no SID is that long */
        if (rc != ERROR_SUCCESS)
            break;
        if (cchName >= cchClasses && lstrcmpiW(szName + cchName - cchClasses, szClasses) == 0)
            continue;
        if (RegOpenKeyExW(HKEY_USERS, szName, 0, KEY_QUERY_VALUE, &hUser) != ERROR_SUCCESS)
            continue;
        DeleteRunValuesUnder(pReport, hUser);
        RegCloseKey(hUser);
    }
}

/* The machine's values, and the tray's value of the user who removes the
 * product: the tray writes it there for a user who may not write the
 * machine's.  A removal that is not an upgrade's, run by a package as
 * LocalSystem, takes every loaded user's values too: the remover is then
 * no user at all. */
static void DeleteRunValues(UNINSTALLREPORT *pReport)
{
    DeleteRunValuesUnder(pReport, HKEY_LOCAL_MACHINE);
    DeleteRunValuesUnder(pReport, HKEY_CURRENT_USER);
    if (SetupCommandLine.bAllUsers)
        DeleteRunValuesOfLoadedUsers(pReport);
}

static void DeleteUninstallEntry(UNINSTALLREPORT *pReport)
{
    HKEY hKey = NULL;
    LONG rc;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_UNINSTALL_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    RegCloseKey(hKey);
    rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, KIV_UNINSTALL_KEY);
    if (rc == ERROR_SUCCESS)
        RecordRemoved(pReport, KIV_UPART_ENTRY);
    else
        RecordNotRemoved(pReport, (DWORD)rc, KIV_UPART_ENTRY);
}

/* ---- The removal ------------------------------------------------------------ */

static void ShowClosingMessage(const UNINSTALLREPORT *pReport)
{
    static WCHAR szMessage[KIV_CLOSING_UNITS];
    KIVSETUPMSG first = KIV_MSG_UNINSTALL_NOTHING;

    if (pReport->cNotRemoved)
        first = KIV_MSG_UNINSTALL_INCOMPLETE;
    else if (pReport->cRemoved || pReport->szNotes[0])
        first = KIV_MSG_UNINSTALL_DONE;
    szMessage[0] = L'\0';
    AppendText(szMessage, KIV_CLOSING_UNITS, g_aSetupMessages[first].pszText);
    if (pReport->cRemoved) {
        AppendItem(szMessage, KIV_CLOSING_UNITS, L"\n\n", g_apszUninstallParts[KIV_UPART_REMOVED]);
        AppendText(szMessage, KIV_CLOSING_UNITS, pReport->szRemoved);
    }
    if (pReport->cNotRemoved) {
        AppendItem(szMessage, KIV_CLOSING_UNITS, L"\n\n", g_apszUninstallParts[KIV_UPART_NOT_REMOVED]);
        AppendText(szMessage, KIV_CLOSING_UNITS, pReport->szNotRemoved);
    }
    AppendText(szMessage, KIV_CLOSING_UNITS, pReport->szNotes);
    AppendItem(szMessage, KIV_CLOSING_UNITS, L"\n\n", g_apszUninstallParts[KIV_UPART_SETTINGS_KEPT]);
    MessageBoxW(NULL, szMessage, KIV_SETUP_CAPTION, MB_OK);
}

/* The product's own key: the record of the forms the installations added. */
static void DeleteProductKey(void)
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, KIV_PRODUCT_KEY);
}

int UninstallProduct(int bQuiet)
{
    static UNINSTALLREPORT report;
    WCHAR szInstallDir[KIV_INSTALL_FOLDER_UNITS];

    if (!bQuiet && AskSetupQuestion(KIV_MSG_UNINSTALL_CONSENT) != IDYES)
        return KIV_UNINSTALL_SOME_LEFT;
    ZeroMemory(&report, sizeof(report));

    /* Running programs hold their files, and the agent would write its
     * autostart value again.  Asked to end first; what is left is ended
     * as the installation ends it. */
    EndTray();
    if (KivImagePrinterFolderExist(szInstallDir))
        StopAgent(szInstallDir);
    TerminateRunningPrograms();

    /* The printers before their driver, the driver before its port's
     * turn (a printer that stays keeps the port). */
    DeleteKivPrinters(&report);
    DeleteKivDriver(&report);
    DeleteKivPort(&report);
    DeleteKivForms(&report);
    DeleteProgramFiles(&report);
    DeleteRunValues(&report);
    if (!report.bSpoolerStays) {
        DeleteUninstallEntry(&report);
        DeleteProductKey();
    }

    if (!bQuiet)
        ShowClosingMessage(&report);
    return report.cNotRemoved ? KIV_UNINSTALL_SOME_LEFT : KIV_UNINSTALL_ALL_GONE;
}

/* ---- Undoing a failed installation ------------------------------------------ */

static int IsKivDriverInstalled(void)
{
    DWORD cEntries = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_DRIVERS, 2, &cEntries, NULL);
    const DRIVER_INFO_2W *pEntries = (const DRIVER_INFO_2W *)pBlock;
    int bFound = 0;

    /* Unknown counts as there: what may have been there is never undone. */
    if (!pBlock)
        return 1;
    for (DWORD i = 0; i < cEntries && !bFound; i++)
        bFound = IsKivDriverName(pEntries[i].pName);
    free(pBlock);
    return bFound;
}

static int AreProgramFilesInstalled(void)
{
    WCHAR szSystemDir[KIV_PATH_UNITS];
    WCHAR szInstallDir[KIV_INSTALL_FOLDER_UNITS];
    WCHAR szPath[KIV_PATH_UNITS];
    UINT cchSystem = GetSystemDirectoryW(szSystemDir, KIV_PATH_UNITS);

    if (cchSystem == 0 || cchSystem >= KIV_PATH_UNITS)
        return 1;
    for (int i = 0; i < KIV_SYSTEM_FILE_COUNT; i++)
        if (!BuildFullPath(szSystemDir, g_apszSystemFiles[i], szPath) || FileExists(szPath))
            return 1;
    if (!KivImagePrinterFolderExist(szInstallDir))
        return 0;
    for (int i = 0; i <= KIV_INSTALL_FILE_COUNT; i++) {
        const WCHAR *pszName = i < KIV_INSTALL_FILE_COUNT ? g_apszInstallFiles[i] : KIV_SETUP_PROGRAM;

        if (!BuildFullPath(szInstallDir, pszName, szPath) || FileExists(szPath))
            return 1;
    }
    return 0;
}

DWORD FindProductParts(void)
{
    DWORD dwParts = 0;

    if (IsKivDriverInstalled())
        dwParts |= KIV_PART_DRIVER;
    /* A port it cannot tell of counts as there: it is never undone. */
    if (LocalPortState() != KIV_PORT_MISSING)
        dwParts |= KIV_PART_PORT;
    if (AreProgramFilesInstalled())
        dwParts |= KIV_PART_FILES;
    return dwParts;
}

/*
 * The removal's steps for the parts a failed installation made.  A driver
 * that was not there before has only printers this installation made, so
 * all of them go with it.  The forms, the autostart values and the entry
 * in Add or Remove Programs need no undoing: a failed installation adds
 * none of them; the agent's autostart value goes with the programs.
 */
void UndoInstallation(DWORD dwParts)
{
    static UNINSTALLREPORT report;

    ZeroMemory(&report, sizeof(report));
    if (dwParts & KIV_PART_DRIVER) {
        DeleteKivPrinters(&report);
        DeleteKivDriver(&report);
    }
    if (dwParts & KIV_PART_PORT)
        DeleteKivPort(&report);
    if (dwParts & KIV_PART_FILES) {
        DeleteProgramFiles(&report);
        DeleteRunValue(KIV_RUN_VALUE_AGENT);
    }
}
