/*
 * The printer's default settings editor.  It draws no dialog of its own:
 * it asks the spooler for the printer's global default DEVMODE, hands it
 * to the printer driver's own settings sheet (DocumentPropertiesA with
 * prompting), and when the user confirms with OK stores the result as the
 * global default, through the level-8 record and inside the level-2
 * record.  Every failure ends silently with 0 after releasing what was
 * taken.  The editor needs the right to administer the printer.
 */
#include "kivtray.h"
#include <winspool.h>

#ifdef KIV_TRAY_TEST_SEAMS
#include "trayseams.h"
/* The test build puts each block against an inaccessible page, so that a
 * write past a block's end faults at once instead of going unnoticed. */
#define GlobalAlloc TraySeamGlobalAlloc
#define GlobalFree  TraySeamGlobalFree
#endif

/* Printers are enumerated locally and through connections. */
/* Local printers only: looking at connections can wait on print servers
 * that are offline, and could find a server's printer of the same kind
 * where the user happens to be an administrator. */
#define KIV_ENUM_PRINTER_FLAGS PRINTER_ENUM_LOCAL
/* A spooler that keeps asking for more room (printers added between the
 * calls) is asked this often at most. */
#define KIV_ENUM_MAX_TRIES     8
/* Mode of the sheet: DM_IN_BUFFER | DM_IN_PROMPT | DM_OUT_BUFFER (14). */
#define KIV_SHEET_MODE         (DM_IN_BUFFER | DM_IN_PROMPT | DM_OUT_BUFFER)

/* The port spellings that mark the printer, each an exact-case substring
 * of the port name: "kIv" and other mixtures are not the product's port. */
static const char *const g_apszKivPortSpellings[] = { "Kiv", "kiv", "KIV" };

static int IsKivPort(const char *pszPortName)
{
    size_t i;

    if (!pszPortName)
        return 0;
    for (i = 0; i < sizeof(g_apszKivPortSpellings) / sizeof(g_apszKivPortSpellings[0]); i++)
        if (strstr(pszPortName, g_apszKivPortSpellings[i]))
            return 1;
    return 0;
}

/*
 * pszPrinterName (KIV_PRINTER_NAME_UNITS characters) receives the name of
 * the first printer, in the spooler's order, whose port name contains
 * "Kiv", "kiv" or "KIV"; the empty string when none does.  A name that
 * does not fit the buffer is passed over rather than cut: a cut name
 * would open another printer or none.  Always returns 0.
 */
int FindKivPrinterName(char *pszPrinterName)
{
    BYTE *pBuffer = NULL;
    DWORD cbBuffer = 0;
    DWORD cbNeeded = 0;
    DWORD cReturned = 0;
    BOOL bOk;
    int tries = 0;
    DWORD i;

    pszPrinterName[0] = '\0';
    bOk = EnumPrintersA(KIV_ENUM_PRINTER_FLAGS, NULL, 2, NULL, 0, &cbNeeded, &cReturned);
    while (!bOk && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        if (cbNeeded == 0 || ++tries > KIV_ENUM_MAX_TRIES)
            goto Exit;
        if (pBuffer)
            LocalFree(pBuffer);
        pBuffer = (BYTE *)LocalAlloc(LMEM_ZEROINIT, cbNeeded);
        if (!pBuffer)
            goto Exit;
        cbBuffer = cbNeeded;
        bOk = EnumPrintersA(KIV_ENUM_PRINTER_FLAGS, NULL, 2, pBuffer, cbBuffer, &cbNeeded, &cReturned);
    }
    if (!bOk || !pBuffer)
        goto Exit;

    for (i = 0; i < cReturned; i++) {
        const PRINTER_INFO_2A *pInfo = (const PRINTER_INFO_2A *)pBuffer + i;
        if (!IsKivPort(pInfo->pPortName) || !pInfo->pPrinterName)
            continue;
        if (CopyText(pszPrinterName, KIV_PRINTER_NAME_UNITS, pInfo->pPrinterName))
            break;
    }

Exit:
    if (pBuffer)
        LocalFree(pBuffer);
    return 0;
}

/* The size GetPrinterA needs for a level: usable when the query succeeded
 * or asked for more room, and the size is not 0. */
static int QueryPrinterInfoSize(HANDLE hPrinter, DWORD dwLevel, DWORD *pcbNeeded)
{
    BOOL bOk;

    *pcbNeeded = 0;
    bOk = GetPrinterA(hPrinter, dwLevel, NULL, 0, pcbNeeded);
    if (!bOk && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    return *pcbNeeded != 0;
}

/* The driver's settings sheet; returns when the user closes it.  IDOK
 * when the user confirmed and the driver filled pOut. */
static LONG ShowDriverSheet(HWND hOwner, HANDLE hPrinter, char *pszPrinterName,
                            DEVMODEA *pOut, DEVMODEA *pIn)
{
    LONG lResult = DocumentPropertiesA(hOwner, hPrinter, pszPrinterName, pOut, pIn, KIV_SHEET_MODE);
#ifdef KIV_TRAY_TEST_SEAMS
    lResult = TraySeamSheetResult(lResult, pOut, pIn);
#endif
    return lResult;
}

static const char g_szNoRightsText[] =
    "Changing the default settings of the Kiv Image Printer needs administrator rights. "
    "Ask an administrator, or exit the tray utility and start it again as administrator.";
static const char g_szNoRightsCaption[] = KIV_PRINTER_NAME_A;

/* Opens the printer to change its defaults. */
static BOOL OpenToEdit(char *pszPrinterName, HANDLE *phPrinter, PRINTER_DEFAULTSA *pDefaults)
{
#ifdef KIV_TRAY_TEST_SEAMS
    if (TraySeamDenyOpen()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
#endif
    return OpenPrinterA(pszPrinterName, phPrinter, pDefaults);
}

/* Stores one level of the printer's record (command 0). */
static BOOL StorePrinterInfo(HANDLE hPrinter, DWORD dwLevel, BYTE *pInfo)
{
#ifdef KIV_TRAY_TEST_SEAMS
    TraySeamNoteStore(dwLevel, pInfo);
    if (TraySeamFailStore(dwLevel))
        return FALSE;
#endif
    return SetPrinterA(hPrinter, dwLevel, pInfo, 0);
}

/*
 * Returns 1 when the user confirmed the sheet and both stores succeeded,
 * else 0.  The tray ignores the result.
 */
int ShowPrintDialog(HWND hOwner)
{
    char szPrinterName[KIV_PRINTER_NAME_UNITS];
    PRINTER_DEFAULTSA defaults;
    HANDLE hPrinter = NULL;
    PRINTER_INFO_2A *pi2 = NULL;
    PRINTER_INFO_8A *pi8 = NULL;
    PRINTER_INFO_8A pi8Store;
    DEVMODEA *pNewDevMode = NULL;
    DEVMODEA *pWorkCopy = NULL;
    DEVMODEA *pCurrent;
    DWORD cbNeeded = 0;
    DWORD cbPi8;
    DWORD dwAllocated;
    DWORD cbCurrent;
    LONG lDriverSize;
    BOOL bStored8, bStored2;
    int result = 0;

    ZeroMemory(&defaults, sizeof(defaults));
    defaults.DesiredAccess = PRINTER_ALL_ACCESS;

    /* Under its usual name, else by its port: the user may have renamed
     * it.  An empty name would open the print server itself. */
    CopyText(szPrinterName, sizeof(szPrinterName), KIV_PRINTER_NAME_A);
    if (!OpenToEdit(szPrinterName, &hPrinter, &defaults)) {
        DWORD dwError = GetLastError();

        hPrinter = NULL;
        /* The printer is there, the user may not change it: say why
         * nothing happens, and look no further. */
        if (dwError != ERROR_ACCESS_DENIED) {
            FindKivPrinterName(szPrinterName);
            if (szPrinterName[0] && !OpenToEdit(szPrinterName, &hPrinter, &defaults)) {
                dwError = GetLastError();
                hPrinter = NULL;
            }
        }
        if (!hPrinter) {
            if (dwError == ERROR_ACCESS_DENIED)
                MessageBoxA(hOwner, g_szNoRightsText, g_szNoRightsCaption, MB_OK | MB_ICONINFORMATION);
            goto Exit;
        }
    }

    /* Level 2: written back with the new DEVMODE and every other field as
     * it was read. */
    if (!QueryPrinterInfoSize(hPrinter, 2, &cbNeeded))
        goto Exit;
    pi2 = (PRINTER_INFO_2A *)GlobalAlloc(GMEM_ZEROINIT, cbNeeded);
    if (!pi2 || !GetPrinterA(hPrinter, 2, (BYTE *)pi2, cbNeeded, &cbNeeded))
        goto Exit;
#ifdef KIV_TRAY_TEST_SEAMS
    TraySeamPrinterInfo2(pi2);
#endif

    /* Level 8: the global default DEVMODE, inside the same block, or
     * none when the printer has none stored. */
    SetLastError(0);
    if (!QueryPrinterInfoSize(hPrinter, 8, &cbNeeded))
        goto Exit;
    pi8 = (PRINTER_INFO_8A *)GlobalAlloc(GMEM_ZEROINIT, cbNeeded);
    if (!pi8)
        goto Exit;
    cbPi8 = cbNeeded;
    dwAllocated = cbPi8;
    if (!GetPrinterA(hPrinter, 8, (BYTE *)pi8, cbPi8, &cbNeeded))
        goto Exit;
#ifdef KIV_TRAY_TEST_SEAMS
    TraySeamPrinterInfo8(pi8);
#endif

    /* The size of the driver's full DEVMODE.  The sheet writes that much,
     * so the working copy must hold it even when the stored default is
     * smaller (written by an older driver, say); a driver that cannot
     * tell its size cannot be given a copy of safe size. */
    lDriverSize = DocumentPropertiesA(NULL, hPrinter, szPrinterName, NULL, NULL, 0);
    if (lDriverSize <= 0)
        goto Exit;

    if (!pi8->pDevMode) {
        /* No stored default: have the driver build its own. */
        dwAllocated = (DWORD)lDriverSize;
        pNewDevMode = (DEVMODEA *)GlobalAlloc(GMEM_ZEROINIT, dwAllocated);
        if (!pNewDevMode)
            goto Exit;
        if (DocumentPropertiesA(NULL, hPrinter, szPrinterName, pNewDevMode, NULL, DM_OUT_BUFFER) != IDOK)
            goto Exit;
        pi8->pDevMode = pNewDevMode;
    } else if ((DWORD)lDriverSize > dwAllocated) {
        dwAllocated = (DWORD)lDriverSize;
    }
    pCurrent = pi8->pDevMode;

    /* The working copy starts as the current DEVMODE, public and private
     * parts; one that claims more than the block holds is not copied. */
    cbCurrent = (DWORD)pCurrent->dmSize + pCurrent->dmDriverExtra;
    if (cbCurrent > dwAllocated ||
        (pCurrent != pNewDevMode && (BYTE *)pCurrent + cbCurrent > (BYTE *)pi8 + cbPi8))
        goto Exit;
    pWorkCopy = (DEVMODEA *)GlobalAlloc(GMEM_ZEROINIT, dwAllocated);
    if (!pWorkCopy)
        goto Exit;
    CopyMemory(pWorkCopy, pCurrent, cbCurrent);

    SetForegroundWindow(hOwner);
    if (ShowDriverSheet(hOwner, hPrinter, szPrinterName, pWorkCopy, pCurrent) != IDOK)
        goto Exit;  /* cancelled, or the sheet failed: nothing is stored */

    /* Both stores are made, in this order, even when the first fails.
     * Level 2 goes without the security descriptor, which the spooler
     * then leaves as it is: writing it back needs the right to change
     * permissions and owner, and would undo a change made meanwhile. */
    ZeroMemory(&pi8Store, sizeof(pi8Store));
    pi8Store.pDevMode = pWorkCopy;
    pi2->pDevMode = pWorkCopy;
    pi2->pSecurityDescriptor = NULL;
    bStored8 = StorePrinterInfo(hPrinter, 8, (BYTE *)&pi8Store);
    bStored2 = StorePrinterInfo(hPrinter, 2, (BYTE *)pi2);
    result = (bStored8 && bStored2) ? 1 : 0;

Exit:
    if (pWorkCopy)
        GlobalFree(pWorkCopy);
    if (pNewDevMode)
        GlobalFree(pNewDevMode);
    if (pi8)
        GlobalFree(pi8);
    if (pi2)
        GlobalFree(pi2);
    if (hPrinter)
        ClosePrinter(hPrinter);
    return result;
}
