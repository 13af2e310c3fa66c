/*
 * The installation's spooler steps: the earlier printer and the earlier
 * driver's own files, the printer-driver and system folders, the driver
 * registration, the port "kiv", the printer, and the final check that the
 * printer is there.
 *
 * Every list is read with the two-call protocol: ask for the size, take a
 * zero-filled block of that size, ask again.  A fixed block would make a
 * busy machine look empty (an enumeration that needs more room fails), and
 * setup would then report a good installation as failed, or add a port
 * that exists.
 */
#include "setupsteps.h"
#include "kivclient.h"
#include "kivpath.h"

#include <stdlib.h>
#include <wchar.h>
#include <winspool.h>

/* A list that grows between the size query and the read is asked for
 * again, a few times at most. */
#define KIV_ENUM_TRIES        4
/* Room the port monitor may write its answer to "AddPort" into. */
#define KIV_XCV_OUTPUT_BYTES  100

static BOOL ReadSpoolerList(KIVSPOOLLIST list, DWORD dwLevel, BYTE *pBlock, DWORD cbBlock,
                            DWORD *pcbNeeded, DWORD *pcEntries)
{
    WCHAR szEnvironment[] = KIV_PRINTER_ENV;
    WCHAR szAll[] = L"all";

    switch (list) {
    case KIV_LIST_PRINTERS:
        return EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, dwLevel, pBlock, cbBlock, pcbNeeded, pcEntries);
    case KIV_LIST_DRIVERS:
        return EnumPrinterDriversW(NULL, szEnvironment, dwLevel, pBlock, cbBlock, pcbNeeded, pcEntries);
    case KIV_LIST_ALL_DRIVERS:
        return EnumPrinterDriversW(NULL, szAll, dwLevel, pBlock, cbBlock, pcbNeeded, pcEntries);
    case KIV_LIST_PORTS:
        return EnumPortsW(NULL, dwLevel, pBlock, cbBlock, pcbNeeded, pcEntries);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BYTE *EnumSpoolerList(KIVSPOOLLIST list, DWORD dwLevel, DWORD *pcEntries, DWORD *pdwError)
{
    BYTE *pBlock = NULL;
    DWORD cbBlock = 0, cEntries = 0, dwError = 0;
    BOOL bRead = FALSE;

    for (int tries = 0; tries < KIV_ENUM_TRIES && !bRead; tries++) {
        DWORD cbNeeded = 0;

        bRead = ReadSpoolerList(list, dwLevel, pBlock, cbBlock, &cbNeeded, &cEntries);
        if (bRead)
            break;
        /* Anything but "give me more room" is the spooler's answer. */
        dwError = GetLastError();
        if (dwError != ERROR_INSUFFICIENT_BUFFER || cbNeeded <= cbBlock)
            break;
        free(pBlock);
        cbBlock = cbNeeded;
        pBlock = (BYTE *)calloc(cbBlock, 1);
        if (!pBlock) {
            dwError = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
    }
    if (bRead && !pBlock)
        pBlock = (BYTE *)calloc(1, 1);   /* an empty list asks for no room */
    if (!bRead || !pBlock) {
        free(pBlock);
        pBlock = NULL;
        cEntries = 0;
        if (!dwError)
            dwError = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        dwError = 0;
    }
    *pcEntries = cEntries;
    if (pdwError)
        *pdwError = dwError;
    return pBlock;
}

/* A printer or driver of this kind: the three words, each case-sensitive,
 * anywhere in the name. */
int HasKivPrinterWords(const WCHAR *pszName)
{
    return pszName && KivFindString(pszName, L"Kiv") && KivFindString(pszName, L"Image") &&
           KivFindString(pszName, L"Printer");
}

/*
 * Deletes the printer "Kiv Image Printer" when a printer of this kind is
 * installed.  Only the exact name is deleted: a copy the user made ("Kiv
 * Image Printer (Copy 2)") is the user's.
 */
void DeleteEarlierPrinter(void)
{
    WCHAR szPrinter[] = KIV_PRINTER_NAME_W;
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    DWORD cEntries = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_PRINTERS, 4, &cEntries, NULL);
    const PRINTER_INFO_4W *pEntries = (const PRINTER_INFO_4W *)pBlock;

    if (!pBlock)
        return;
    for (DWORD i = 0; i < cEntries; i++) {
        HANDLE hPrinter = NULL;

        if (!HasKivPrinterWords(pEntries[i].pPrinterName))
            continue;
        if (OpenPrinterW(szPrinter, &hPrinter, &defaults)) {
            TraceSetup(KIV_TRACE_DELETE_PRINTER);
            if (!DeletePrinter(hPrinter))
                ShowSetupMessage(KIV_MSG_OLD_PRINTER_STAYS);
            ClosePrinter(hPrinter);
        }
        break;
    }
    free(pBlock);
}

/*
 * Deletes this system's own files from the folder of every earlier driver
 * of this kind.  The driver stays registered (the new registration goes
 * over it); with its own files gone, the spooler takes the new ones
 * instead of keeping files of the same name.
 */
void DeleteEarlierDriverFiles(void)
{
    DWORD cEntries = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_DRIVERS, 2, &cEntries, NULL);
    const DRIVER_INFO_2W *pEntries = (const DRIVER_INFO_2W *)pBlock;

    if (!pBlock)
        return;
    for (DWORD i = 0; i < cEntries; i++) {
        WCHAR szFolder[KIV_PATH_UNITS];

        if (!HasKivPrinterWords(pEntries[i].pName) || !pEntries[i].pDataFile)
            continue;
        /* A data file named without its folder would point at the
         * current folder, setup's own. */
        if (!GetFolderOfPath(pEntries[i].pDataFile, szFolder) || szFolder[0] == L'\0')
            continue;
        for (int f = 0; f < KIV_OWN_DRIVER_FILE_COUNT; f++) {
            WCHAR szPath[KIV_PATH_UNITS];

            if (BuildFullPath(szFolder, g_apszOwnDriverFiles[f], szPath))
                DeleteFileIfPresent(szPath);
        }
    }
    free(pBlock);
}

/*
 * Both buffers need KIV_PATH_UNITS units.  Returns the KIV_FOLDER_*_READ
 * flags of the folders that could be read; a folder that could not be
 * read is left empty, and no target may be built from it: an empty folder
 * joined with a file name names the file in setup's own folder.
 */
int ReadInstallFolders(WCHAR *pszDriverDir, WCHAR *pszSystemDir)
{
    WCHAR szEnvironment[] = KIV_PRINTER_ENV;
    DWORD cbNeeded = 0;
    UINT cchSystem;
    int read = 0;

    ZeroMemory(pszDriverDir, KIV_PATH_UNITS * sizeof(WCHAR));
    ZeroMemory(pszSystemDir, KIV_PATH_UNITS * sizeof(WCHAR));
    /* The folder of the environment the driver is registered for, named
     * rather than left to the calling process's default, so the staged
     * files are where the registration of that environment looks.  A
     * stopped spooler cannot tell it. */
    if (GetPrinterDriverDirectoryW(NULL, szEnvironment, 1, (LPBYTE)pszDriverDir,
                                   KIV_PATH_UNITS * sizeof(WCHAR), &cbNeeded)) {
        pszDriverDir[KIV_PATH_UNITS - 1] = L'\0';
        if (pszDriverDir[0] != L'\0')
            read |= KIV_FOLDER_DRIVER_READ;
    }
    if (!(read & KIV_FOLDER_DRIVER_READ))
        pszDriverDir[0] = L'\0';
    cchSystem = GetSystemDirectoryW(pszSystemDir, KIV_PATH_UNITS);
    if (cchSystem > 0 && cchSystem < KIV_PATH_UNITS)
        read |= KIV_FOLDER_SYSTEM_READ;
    else
        pszSystemDir[0] = L'\0';
    return read;
}

/*
 * Registers the driver: the Universal Printer Driver with this system's
 * GPD file and plug-ins.  The names are bare: the spooler finds the files
 * in the printer-driver folder and copies them into its own version
 * folder.
 */
int RegisterPrinterDriver(void)
{
    WCHAR szName[] = KIV_PRINTER_NAME_W;
    WCHAR szEnvironment[] = KIV_PRINTER_ENV;
    WCHAR szDriverPath[] = L"unidrv.dll";
    WCHAR szDataFile[] = L"kiv.gpd";
    WCHAR szConfigFile[] = L"unidrvui.dll";
    WCHAR szHelpFile[] = L"unidrv.hlp";
    /* A multi-string: each name ends with a zero, the list with another. */
    WCHAR szDependentFiles[] = L"unires.dll\0kivuni.ini\0kivuni.dll\0kivui.dll\0stdnames.gpd\0";
    WCHAR szDatatype[] = KIV_DATATYPE;
    DRIVER_INFO_3W driver;

    ZeroMemory(&driver, sizeof(driver));
    driver.cVersion = 3;
    driver.pName = szName;
    driver.pEnvironment = szEnvironment;
    driver.pDriverPath = szDriverPath;
    driver.pDataFile = szDataFile;
    driver.pConfigFile = szConfigFile;
    driver.pHelpFile = szHelpFile;
    driver.pDependentFiles = szDependentFiles;
    driver.pMonitorName = NULL;
    driver.pDefaultDataType = szDatatype;

    TraceSetup(KIV_TRACE_ADD_DRIVER);
    /* Only files that are missing or older are copied, as Windows' own
     * printer installation does: the Universal Printer Driver's files are
     * shared by every Unidrv printer, and a newer copy stays.  The
     * product's own files are always missing here (the earlier driver's
     * were deleted). */
    if (!AddPrinterDriverExW(NULL, 3, (LPBYTE)&driver, APD_COPY_NEW_FILES)) {
        ShowSetupMessage(KIV_MSG_ADD_DRIVER_FAILED);
        return 0;
    }
    return 1;
}

/* The port counts as present under these spellings only; any other case
 * form ("kIv") is a port of some other program. */
static const WCHAR *const g_apszPortSpellings[] = { L"kiv", L"Kiv", L"KIV" };

int LocalPortState(void)
{
    DWORD cEntries = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_PORTS, 2, &cEntries, NULL);
    const PORT_INFO_2W *pEntries = (const PORT_INFO_2W *)pBlock;
    int state = KIV_PORT_MISSING;

    if (!pBlock)
        return KIV_PORT_UNKNOWN;
    for (DWORD i = 0; i < cEntries && state == KIV_PORT_MISSING; i++) {
        if (!pEntries[i].pPortName)
            continue;
        for (size_t s = 0; s < sizeof(g_apszPortSpellings) / sizeof(g_apszPortSpellings[0]); s++)
            if (wcscmp(pEntries[i].pPortName, g_apszPortSpellings[s]) == 0)
                state = KIV_PORT_PRESENT;
    }
    free(pBlock);
    return state;
}

BOOL LocalPortExists(void)
{
    return LocalPortState() == KIV_PORT_PRESENT;
}

/*
 * Adds the local port "kiv" through the local port monitor, unless it is
 * there.  Only the call's own success counts: the monitor reports a port
 * that exists already through its status (ERROR_ALREADY_EXISTS), and that
 * port serves as well.
 */
int AddKivPort(void)
{
    WCHAR szXcv[] = KIV_XCV_LOCAL_PORT;
    WCHAR szPort[] = KIV_PORT_NAME;
    PRINTER_DEFAULTSW defaults = { NULL, NULL, SERVER_ACCESS_ADMINISTER };
    HANDLE hXcv = NULL;
    BYTE *pOutput;
    DWORD cbNeeded = 0, dwStatus = 0;
    BOOL bAdded = FALSE;

    if (LocalPortExists())
        return 1;
    TraceSetup(KIV_TRACE_ADD_PORT);
    if (!OpenPrinterW(szXcv, &hXcv, &defaults)) {
        ShowSetupMessage(KIV_MSG_XCV_OPEN_FAILED);
        return 0;
    }
    pOutput = (BYTE *)calloc(KIV_XCV_OUTPUT_BYTES, 1);
    if (pOutput)
        bAdded = XcvDataW(hXcv, KIV_XCV_ADD_PORT, (PBYTE)szPort, sizeof(szPort), pOutput,
                          KIV_XCV_OUTPUT_BYTES, &cbNeeded, &dwStatus);
    free(pOutput);
    ClosePrinter(hXcv);
    if (!bAdded) {
        ShowSetupMessage(KIV_MSG_ADD_PORT_FAILED);
        return 0;
    }
    return 1;
}

/*
 * Creates the printer on the port "kiv".  The data type is given as "RAW",
 * the driver's default: the Windows spooler stores that for a null data
 * type, but a spooler that stores the null instead (Wine's) creates a
 * printer that cannot be opened.
 */
int CreateKivPrinter(void)
{
    WCHAR szPrinter[] = KIV_PRINTER_NAME_W;
    WCHAR szPort[] = KIV_PORT_NAME;
    WCHAR szDriver[] = KIV_PRINTER_NAME_W;
    WCHAR szComment[] = L"";
    WCHAR szLocation[] = KIV_HOMEPAGE_URL_W;
    WCHAR szProcessor[] = KIV_PRINT_PROCESSOR;
    WCHAR szDatatype[] = KIV_DATATYPE;
    PRINTER_INFO_2W printer;
    HANDLE hPrinter;

    ZeroMemory(&printer, sizeof(printer));
    printer.pServerName = NULL;
    printer.pPrinterName = szPrinter;
    printer.pShareName = NULL;
    printer.pPortName = szPort;
    printer.pDriverName = szDriver;
    printer.pComment = szComment;
    printer.pLocation = szLocation;
    printer.pDevMode = NULL;
    printer.pSepFile = NULL;
    printer.pPrintProcessor = szProcessor;
    printer.pDatatype = szDatatype;
    printer.pParameters = NULL;
    printer.pSecurityDescriptor = NULL;

    TraceSetup(KIV_TRACE_ADD_PRINTER);
    hPrinter = AddPrinterW(NULL, 2, (LPBYTE)&printer);
    if (!hPrinter) {
        ShowSetupMessage(KIV_MSG_ADD_PRINTER_FAILED);
        return 0;
    }
    ClosePrinter(hPrinter);
    return 1;
}

/* The last word on the installation: the printer must now be listed.
 * Returns the install result, 1 or 0; no message either way. */
int ConfirmPrinterAndAddForms(void)
{
    DWORD cEntries = 0;
    BYTE *pBlock = EnumSpoolerList(KIV_LIST_PRINTERS, 4, &cEntries, NULL);
    const PRINTER_INFO_4W *pEntries = (const PRINTER_INFO_4W *)pBlock;
    int result = KIV_INSTALL_SPOOL_FAILED;

    if (!pBlock)
        return KIV_INSTALL_SPOOL_FAILED;
    for (DWORD i = 0; i < cEntries; i++) {
        if (!HasKivPrinterWords(pEntries[i].pPrinterName))
            continue;
        TraceSetup(KIV_TRACE_ADD_FORMS);
        /* Forms that cannot be added do not make the printer unusable. */
        AddPaperForms();
        result = KIV_INSTALL_DONE;
        break;
    }
    free(pBlock);
    return result;
}
