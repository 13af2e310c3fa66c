/*
 * Stand-in for the Universal Printer Driver's configuration DLL
 * ("unidrvui.dll"), for tests and the demo only.
 *
 * The spooler loads a driver's configuration file when it registers the
 * driver and calls it to make every DEVMODE of the printer: when a printer
 * is created (its default DEVMODE), when a program asks for document
 * settings, and when the settings sheet is shown (DM_IN_PROMPT goes
 * through the common property sheet UI, compstui).  This DLL answers those
 * calls with a small DEVMODE of its own and one settings page; see
 * standin.h for what a test can rely on and how it makes the DLL fail.
 */
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <stddef.h>
#include <winspool.h>
#include <winddiui.h>
#include <compstui.h>

#include "standin.h"

/* Missing from mingw-w64's driver headers. */
typedef struct _DOCUMENTPROPERTYHEADER {
    WORD cbSize;
    WORD Reserved;
    HANDLE hPrinter;
    LPWSTR pszPrinterName;
    PDEVMODEW pdmIn;
    PDEVMODEW pdmOut;
    DWORD cbOut;
    DWORD fMode;
} DOCUMENTPROPERTYHEADER, *PDOCUMENTPROPERTYHEADER;

typedef struct _DEVICEPROPERTYHEADER {
    WORD cbSize;
    WORD Flags;
    HANDLE hPrinter;
    LPWSTR pszPrinterName;
} DEVICEPROPERTYHEADER, *PDEVICEPROPERTYHEADER;

#define STANDIN_DEVMODE_BYTES (sizeof(DEVMODEW) + sizeof(KIVSTANDINPRIVATE))
#define STANDIN_DRIVER_VERSION 0x0300

static HINSTANCE g_hInstance;

/* One open settings sheet: where its result goes, and the DEVMODE that
 * the page edits. */
typedef struct {
    PDOCUMENTPROPERTYHEADER pHeader;
    BYTE abDevMode[STANDIN_DEVMODE_BYTES];
} SHEETCONTEXT;

static int FailureSwitchedOn(const WCHAR *pszValue)
{
    HKEY hKey;
    DWORD dwValue = 0, cb = sizeof(dwValue), dwType = 0;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_STANDIN_KEY_W, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(hKey, pszValue, NULL, &dwType, (BYTE *)&dwValue, &cb) != ERROR_SUCCESS ||
        dwType != REG_DWORD)
        dwValue = 0;
    RegCloseKey(hKey);
    return dwValue != 0;
}

typedef struct {
    WORD wPaper;
    POINT sizeTenthsMm;
    const WCHAR *pszName;
} STANDINPAPER;

static const STANDINPAPER g_aPapers[] = {
    { DMPAPER_A4,     { 2100, 2970 }, L"A4" },
    { DMPAPER_LETTER, { 2159, 2794 }, L"Letter" },
};
#define STANDIN_PAPER_COUNT ((DWORD)(sizeof(g_aPapers) / sizeof(g_aPapers[0])))
/* DC_PAPERNAMES entries are 64 characters each. */
#define STANDIN_PAPER_NAME_UNITS 64

/* What the driver's DEVMODE carries, as a Universal Printer Driver's
 * does: the paper also by its form name. */
#define STANDIN_FIELDS (DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_PRINTQUALITY | DM_YRESOLUTION | \
                        DM_FORMNAME)

static KIVSTANDINPRIVATE *PrivateOf(DEVMODEW *pdm)
{
    return (KIVSTANDINPRIVATE *)((BYTE *)pdm + pdm->dmSize);
}

/* The form name that goes with the DEVMODE's paper. */
static void NameForm(DEVMODEW *pdm)
{
    for (DWORD i = 0; i < STANDIN_PAPER_COUNT; i++)
        if (g_aPapers[i].wPaper == pdm->dmPaperSize)
            lstrcpynW(pdm->dmFormName, g_aPapers[i].pszName, CCHFORMNAME);
}

static void MakeDefaultDevMode(DEVMODEW *pdm, const WCHAR *pszPrinterName)
{
    ZeroMemory(pdm, STANDIN_DEVMODE_BYTES);
    if (pszPrinterName)
        lstrcpynW(pdm->dmDeviceName, pszPrinterName, CCHDEVICENAME);
    pdm->dmSpecVersion = DM_SPECVERSION;
    pdm->dmDriverVersion = STANDIN_DRIVER_VERSION;
    pdm->dmSize = sizeof(DEVMODEW);
    pdm->dmDriverExtra = sizeof(KIVSTANDINPRIVATE);
    pdm->dmFields = STANDIN_FIELDS;
    pdm->dmOrientation = KIV_STANDIN_DEFAULT_ORIENTATION;
    pdm->dmPaperSize = KIV_STANDIN_DEFAULT_PAPER;
    pdm->dmCopies = KIV_STANDIN_DEFAULT_COPIES;
    pdm->dmPrintQuality = KIV_STANDIN_DEFAULT_DPI;
    pdm->dmYResolution = KIV_STANDIN_DEFAULT_DPI;
    NameForm(pdm);
    PrivateOf(pdm)->dwSignature = KIV_STANDIN_SIGNATURE;
}

/* Takes over what a caller's DEVMODE sets: the public fields it marks,
 * and the private part when it is this driver's. */
static void MergeDevMode(DEVMODEW *pdm, const DEVMODEW *pdmIn)
{
    if (!pdmIn || pdmIn->dmSize < offsetof(DEVMODEW, dmFields) + sizeof(DWORD) ||
        pdmIn->dmSize > sizeof(DEVMODEW))
        return;
    if (pdmIn->dmFields & DM_ORIENTATION)
        pdm->dmOrientation = pdmIn->dmOrientation;
    if ((pdmIn->dmFields & DM_FORMNAME) &&
        pdmIn->dmSize >= offsetof(DEVMODEW, dmFormName) + sizeof(pdmIn->dmFormName)) {
        /* A caller's name need not end within its field. */
        WCHAR szForm[CCHFORMNAME + 1];
        lstrcpynW(szForm, pdmIn->dmFormName, CCHFORMNAME + 1);
        for (DWORD i = 0; i < STANDIN_PAPER_COUNT; i++)
            if (lstrcmpiW(g_aPapers[i].pszName, szForm) == 0)
                pdm->dmPaperSize = g_aPapers[i].wPaper;
    }
    if (pdmIn->dmFields & DM_PAPERSIZE)
        pdm->dmPaperSize = pdmIn->dmPaperSize;
    NameForm(pdm);
    if (pdmIn->dmFields & DM_COPIES)
        pdm->dmCopies = pdmIn->dmCopies;
    if (pdmIn->dmDriverExtra == sizeof(KIVSTANDINPRIVATE)) {
        const KIVSTANDINPRIVATE *pIn =
            (const KIVSTANDINPRIVATE *)((const BYTE *)pdmIn + pdmIn->dmSize);
        if (pIn->dwSignature == KIV_STANDIN_SIGNATURE)
            *PrivateOf(pdm) = *pIn;
    }
}

/* The DEVMODE a call asks for: the default, with the input merged when
 * the caller hands one in. */
static void MakeDevModeFor(PDOCUMENTPROPERTYHEADER pHeader, DEVMODEW *pdm)
{
    MakeDefaultDevMode(pdm, pHeader->pszPrinterName);
    if (pHeader->fMode & DM_IN_BUFFER)
        MergeDevMode(pdm, pHeader->pdmIn);
}

/* ---- The settings page ------------------------------------------------ */

/* An in-memory dialog template: a child page with one static text.
 * DLGTEMPLATE and each DLGITEMTEMPLATE start on a DWORD boundary; the
 * texts between them are WORD-aligned UTF-16. */
#define PAGE_TEMPLATE_BYTES 512

static BYTE *g_pPageTemplate;

static BYTE *PutWords(BYTE *p, const WORD *pw, size_t cWords)
{
    CopyMemory(p, pw, cWords * sizeof(WORD));
    return p + cWords * sizeof(WORD);
}

static BYTE *PutText(BYTE *p, const WCHAR *psz)
{
    return PutWords(p, (const WORD *)psz, lstrlenW(psz) + 1);
}

static const DLGTEMPLATE *PageTemplate(void)
{
    static const WORD awNone[2] = { 0, 0 };            /* no menu, standard class */
    static const WORD awStatic[2] = { 0xFFFF, 0x0082 }; /* the STATIC class */
    static const WORD wPointSize = 8;
    DLGTEMPLATE *pDlg;
    DLGITEMTEMPLATE *pItem;
    BYTE *p;

    if (g_pPageTemplate)
        return (const DLGTEMPLATE *)g_pPageTemplate;
    g_pPageTemplate = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, PAGE_TEMPLATE_BYTES);
    if (!g_pPageTemplate)
        return NULL;
    pDlg = (DLGTEMPLATE *)g_pPageTemplate;
    pDlg->style = WS_CHILD | DS_SETFONT | WS_CAPTION;
    pDlg->cdit = 1;
    pDlg->cx = 200;
    pDlg->cy = 100;
    p = g_pPageTemplate + sizeof(DLGTEMPLATE);
    p = PutWords(p, awNone, 2);
    p = PutText(p, KIV_STANDIN_PAGE_TITLE);
    p = PutWords(p, &wPointSize, 1);
    p = PutText(p, L"MS Sans Serif");
    p = g_pPageTemplate + (((p - g_pPageTemplate) + 3) & ~3);
    pItem = (DLGITEMTEMPLATE *)p;
    pItem->style = WS_CHILD | WS_VISIBLE | SS_LEFT;
    pItem->x = 10;
    pItem->y = 10;
    pItem->cx = 180;
    pItem->cy = 10;
    pItem->id = 100;
    p += sizeof(DLGITEMTEMPLATE);
    p = PutWords(p, awStatic, 2);
    p = PutText(p, L"Stand-in driver settings");
    PutWords(p, awNone, 1);                             /* no creation data */
    return (const DLGTEMPLATE *)g_pPageTemplate;
}

static void ApplySheet(SHEETCONTEXT *pContext)
{
    PDOCUMENTPROPERTYHEADER pHeader = pContext->pHeader;
    DEVMODEW *pdm = (DEVMODEW *)pContext->abDevMode;

    pdm->dmOrientation = pdm->dmOrientation == DMORIENT_LANDSCAPE ? DMORIENT_PORTRAIT : DMORIENT_LANDSCAPE;
    pdm->dmFields |= DM_ORIENTATION;
    PrivateOf(pdm)->cApplied++;
    if (pHeader->pdmOut)
        CopyMemory(pHeader->pdmOut, pdm, STANDIN_DEVMODE_BYTES);
}

static INT_PTR CALLBACK PageProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    switch (uMsg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(hDlg, DWLP_USER, ((PROPSHEETPAGEW *)lParam)->lParam);
        return TRUE;
    case WM_NOTIFY:
        if (((NMHDR *)lParam)->code == PSN_APPLY) {
            SHEETCONTEXT *pContext = (SHEETCONTEXT *)GetWindowLongPtrW(hDlg, DWLP_USER);
            if (pContext)
                ApplySheet(pContext);
            SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

static LONG AddSettingsPage(PPROPSHEETUI_INFO pInfo, LPARAM lParamPage)
{
    PROPSHEETPAGEW page;
    const DLGTEMPLATE *pTemplate = PageTemplate();

    if (!pTemplate)
        return -1;
    ZeroMemory(&page, sizeof(page));
    page.dwSize = sizeof(page);
    page.dwFlags = PSP_DLGINDIRECT;
    page.hInstance = g_hInstance;
    page.pResource = pTemplate;
    page.pfnDlgProc = PageProc;
    page.lParam = lParamPage;
    if (pInfo->pfnComPropSheet(pInfo->hComPropSheet, CPSFUNC_ADD_PROPSHEETPAGEW, (LPARAM)&page, 0) <= 0)
        return -1;
    return 1;
}

/* The steps of a property sheet session that both sheets share. */
static LONG CommonSheetReason(PPROPSHEETUI_INFO pInfo, LPARAM lParam)
{
    switch (pInfo->Reason) {
    case PROPSHEETUI_REASON_GET_INFO_HEADER: {
        PROPSHEETUI_INFO_HEADER *pHeader = (PROPSHEETUI_INFO_HEADER *)lParam;
        if (!pHeader)
            return -1;
        pHeader->Flags = 0;
        pHeader->pTitle = (LPWSTR)KIV_STANDIN_PAGE_TITLE;
        pHeader->hInst = g_hInstance;
        return 1;
    }
    case PROPSHEETUI_REASON_SET_RESULT:
        if (lParam)
            pInfo->Result = ((SETRESULT_INFO *)lParam)->Result;
        return 1;
    case PROPSHEETUI_REASON_DESTROY:
        if (pInfo->UserData) {
            HeapFree(GetProcessHeap(), 0, (void *)pInfo->UserData);
            pInfo->UserData = 0;
        }
        return 1;
    }
    return -1;
}

static LONG DocumentSheet(PPROPSHEETUI_INFO pInfo, LPARAM lParam)
{
    PDOCUMENTPROPERTYHEADER pHeader;
    SHEETCONTEXT *pContext;

    if (pInfo->Reason != PROPSHEETUI_REASON_INIT)
        return CommonSheetReason(pInfo, lParam);
    pHeader = (PDOCUMENTPROPERTYHEADER)pInfo->lParamInit;
    if (!pHeader || FailureSwitchedOn(KIV_STANDIN_FAIL_SHEET_W))
        return -1;
    pContext = (SHEETCONTEXT *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SHEETCONTEXT));
    if (!pContext)
        return -1;
    pContext->pHeader = pHeader;
    MakeDevModeFor(pHeader, (DEVMODEW *)pContext->abDevMode);
    /* Like a real driver, the output starts as the merged input, so the
     * caller's buffer holds a valid DEVMODE however the sheet ends: Wine's
     * DocumentPropertiesA converts it back even after Cancel. */
    if (pHeader->pdmOut && (pHeader->fMode & DM_OUT_BUFFER))
        CopyMemory(pHeader->pdmOut, pContext->abDevMode, STANDIN_DEVMODE_BYTES);
    pInfo->UserData = (ULONG_PTR)pContext;
    pInfo->Result = CPSUI_CANCEL;
    return AddSettingsPage(pInfo, (LPARAM)pContext);
}

extern "C" LONG WINAPI DrvDocumentPropertySheets(PPROPSHEETUI_INFO pInfo, LPARAM lParam)
{
    PDOCUMENTPROPERTYHEADER pHeader;

    if (pInfo)
        return DocumentSheet(pInfo, lParam);

    /* Without the property sheet UI: a size query or a DEVMODE to fill. */
    pHeader = (PDOCUMENTPROPERTYHEADER)lParam;
    if (!pHeader)
        return -1;
    if (pHeader->fMode == 0 || !pHeader->pdmOut) {
        pHeader->cbOut = STANDIN_DEVMODE_BYTES;
        return (LONG)pHeader->cbOut;
    }
    if (FailureSwitchedOn(KIV_STANDIN_FAIL_DEVMODE_W)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return -1;
    }
    /* The output buffer has the size the size query answered: that is the
     * caller's side of the contract.  cbOut cannot tell, because Wine puts
     * the output DEVMODE's dmSize there, not the size of its buffer. */
    if (pHeader->fMode & DM_OUT_BUFFER) {
        BYTE abDevMode[STANDIN_DEVMODE_BYTES];

        MakeDevModeFor(pHeader, (DEVMODEW *)abDevMode);
        CopyMemory(pHeader->pdmOut, abDevMode, STANDIN_DEVMODE_BYTES);
    }
    return IDOK;
}

extern "C" BOOL WINAPI DrvDevicePropertySheets(PPROPSHEETUI_INFO pInfo, LPARAM lParam)
{
    if (!pInfo)
        return FALSE;
    if (pInfo->Reason != PROPSHEETUI_REASON_INIT)
        return CommonSheetReason(pInfo, lParam) > 0;
    if (!pInfo->lParamInit || FailureSwitchedOn(KIV_STANDIN_FAIL_SHEET_W))
        return FALSE;
    pInfo->Result = CPSUI_CANCEL;
    /* The device page shows the same text and changes nothing on OK. */
    return AddSettingsPage(pInfo, 0) > 0;
}

/* ---- Device capabilities ---------------------------------------------- */


extern "C" DWORD WINAPI DrvDeviceCapabilities(HANDLE hPrinter, PWSTR pDeviceName, WORD iDevCap,
                                              VOID *pvOutput, DEVMODEW *pDevMode)
{
    (void)hPrinter;
    (void)pDeviceName;
    (void)pDevMode;

    switch (iDevCap) {
    case DC_FIELDS:
        return STANDIN_FIELDS;
    case DC_PAPERS:
        if (pvOutput)
            for (DWORD i = 0; i < STANDIN_PAPER_COUNT; i++)
                ((WORD *)pvOutput)[i] = g_aPapers[i].wPaper;
        return STANDIN_PAPER_COUNT;
    case DC_PAPERSIZE:
        if (pvOutput)
            for (DWORD i = 0; i < STANDIN_PAPER_COUNT; i++)
                ((POINT *)pvOutput)[i] = g_aPapers[i].sizeTenthsMm;
        return STANDIN_PAPER_COUNT;
    case DC_PAPERNAMES:
        if (pvOutput)
            for (DWORD i = 0; i < STANDIN_PAPER_COUNT; i++)
                lstrcpynW((WCHAR *)pvOutput + i * STANDIN_PAPER_NAME_UNITS, g_aPapers[i].pszName,
                          STANDIN_PAPER_NAME_UNITS);
        return STANDIN_PAPER_COUNT;
    case DC_MINEXTENT:
        return MAKELONG(100, 100);
    case DC_MAXEXTENT:
        return MAKELONG(11890, 16820);
    case DC_SIZE:
        return sizeof(DEVMODEW);
    case DC_EXTRA:
        return sizeof(KIVSTANDINPRIVATE);
    case DC_VERSION:
        return DM_SPECVERSION;
    case DC_DRIVER:
        return STANDIN_DRIVER_VERSION;
    case DC_ENUMRESOLUTIONS:
        if (pvOutput) {
            ((LONG *)pvOutput)[0] = KIV_STANDIN_DEFAULT_DPI;
            ((LONG *)pvOutput)[1] = KIV_STANDIN_DEFAULT_DPI;
        }
        return 1;
    case DC_ORIENTATION:
        return 90;
    case DC_COPIES:
        return 999;
    case DC_BINS:
    case DC_BINNAMES:
    case DC_DUPLEX:
    case DC_FILEDEPENDENCIES:
    case DC_TRUETYPE:
        return 0;
    }
    return GDI_ERROR;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)pReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hInstance = hInstance;
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}
