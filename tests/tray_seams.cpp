/*
 * The seams of the tray's test build (KIV_TRAY_TEST_SEAMS), switched by
 * DWORD values under HKEY_LOCAL_MACHINE "Software\KivTest\Tray", read at
 * every call so that a test can flip them while the tray runs.
 *
 *   SheetResult  present: the editor sees this value (as a signed number)
 *                as the result of the driver's settings sheet, whatever
 *                the system returned.  Wine returns IDOK for the sheet's
 *                Cancel as for its OK; Windows returns IDCANCEL (2).
 *   SheetKeepsInput  nonzero: the sheet's output is the DEVMODE it was
 *                given, whatever the page wrote: a sheet confirmed
 *                without changes.
 *   HideStoredDefault  nonzero: the printer's level-8 record comes back
 *                without a DEVMODE, as Windows reports a printer that has
 *                no stored default (Wine makes one up instead).
 *   FailStore    2 or 8: the store at that level fails without reaching
 *                the spooler.
 *   DenyMachineRun  nonzero: the machine's Run key cannot be opened to
 *                write, as for a user without administrator rights.
 *   FailIconAdds  n: the next n adds of the notification icon fail
 *                without reaching the shell; the tray counts it down.
 *   DenyOpen     nonzero: opening the printer to edit it is refused with
 *                ERROR_ACCESS_DENIED, as for a user without the rights.
 *   GiveSecurity  nonzero: the printer's level-2 record comes back with a
 *                security descriptor, as Windows gives it (Wine gives
 *                none).
 *   StoredSecurity  written by the tray: 1 when its last level-2 store
 *                carried a security descriptor, else 0.
 *
 * Always on: the editor's blocks end at an inaccessible page (a page heap
 * of its own), so that a write past a block's end ends the tray with a
 * fault that the test sees.
 */
#include "trayseams.h"

#define TRAY_SEAM_KEY "Software\\KivTest\\Tray"

/* 1 with the value when the switch is present as a DWORD. */
static int ReadSwitch(const char *pszName, DWORD *pdwValue)
{
    HKEY hKey;
    DWORD cb = sizeof(*pdwValue), dwType = 0;
    int found;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TRAY_SEAM_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    found = RegQueryValueExA(hKey, pszName, NULL, &dwType, (BYTE *)pdwValue, &cb) == ERROR_SUCCESS &&
            dwType == REG_DWORD;
    RegCloseKey(hKey);
    return found;
}

LONG TraySeamSheetResult(LONG lSheetResult, DEVMODEA *pOut, const DEVMODEA *pIn)
{
    DWORD dwValue = 0;

    if (ReadSwitch("SheetKeepsInput", &dwValue) && dwValue && pOut && pIn)
        CopyMemory(pOut, pIn, (SIZE_T)pIn->dmSize + pIn->dmDriverExtra);
    if (ReadSwitch("SheetResult", &dwValue))
        return (LONG)dwValue;
    return lSheetResult;
}

void TraySeamPrinterInfo8(PRINTER_INFO_8A *pi8)
{
    DWORD dwValue = 0;

    if (ReadSwitch("HideStoredDefault", &dwValue) && dwValue)
        pi8->pDevMode = NULL;
}

void TraySeamPrinterInfo2(PRINTER_INFO_2A *pi2)
{
    static SECURITY_DESCRIPTOR sd;
    DWORD dwValue = 0;

    if (ReadSwitch("GiveSecurity", &dwValue) && dwValue && !pi2->pSecurityDescriptor &&
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION))
        pi2->pSecurityDescriptor = &sd;
}

int TraySeamDenyOpen(void)
{
    DWORD dwValue = 0;

    return ReadSwitch("DenyOpen", &dwValue) && dwValue;
}

void TraySeamNoteStore(DWORD dwLevel, const BYTE *pInfo)
{
    DWORD dwValue;
    HKEY hKey;

    if (dwLevel == 2 && RegCreateKeyExA(HKEY_LOCAL_MACHINE, TRAY_SEAM_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey,
                                        NULL) == ERROR_SUCCESS) {
        dwValue = ((const PRINTER_INFO_2A *)pInfo)->pSecurityDescriptor != NULL;
        RegSetValueExA(hKey, "StoredSecurity", 0, REG_DWORD, (const BYTE *)&dwValue, sizeof(dwValue));
        RegCloseKey(hKey);
    }
}

int TraySeamFailStore(DWORD dwLevel)
{
    DWORD dwValue = 0;

    return ReadSwitch("FailStore", &dwValue) && dwValue == dwLevel;
}

int TraySeamFailIconAdd(void)
{
    DWORD dwValue = 0;
    HKEY hKey;

    if (!ReadSwitch("FailIconAdds", &dwValue) || !dwValue)
        return 0;
    dwValue--;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TRAY_SEAM_KEY, 0, KEY_SET_VALUE, &hKey) == ERROR_SUCCESS) {
        RegSetValueExA(hKey, "FailIconAdds", 0, REG_DWORD, (const BYTE *)&dwValue, sizeof(dwValue));
        RegCloseKey(hKey);
    }
    return 1;
}

int TraySeamDenyMachineRun(void)
{
    DWORD dwValue = 0;

    return ReadSwitch("DenyMachineRun", &dwValue) && dwValue;
}

#define SEAM_PAGE_BYTES 4096

HGLOBAL TraySeamGlobalAlloc(UINT uFlags, SIZE_T cbBytes)
{
    /* DEVMODEs and printer records need no more than 4-byte alignment. */
    SIZE_T cbRounded = (cbBytes + 3) & ~(SIZE_T)3;
    SIZE_T cPages = (cbRounded + SEAM_PAGE_BYTES - 1) / SEAM_PAGE_BYTES + 1;
    BYTE *pBase;
    DWORD dwOld;

    (void)uFlags;   /* VirtualAlloc hands out zero-filled pages */
    pBase = (BYTE *)VirtualAlloc(NULL, cPages * SEAM_PAGE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!pBase)
        return NULL;
    if (!VirtualProtect(pBase + (cPages - 1) * SEAM_PAGE_BYTES, SEAM_PAGE_BYTES, PAGE_NOACCESS, &dwOld)) {
        VirtualFree(pBase, 0, MEM_RELEASE);
        return NULL;
    }
    return (HGLOBAL)(pBase + (cPages - 1) * SEAM_PAGE_BYTES - cbRounded);
}

HGLOBAL TraySeamGlobalFree(HGLOBAL hMem)
{
    MEMORY_BASIC_INFORMATION info;

    if (!hMem || !VirtualQuery(hMem, &info, sizeof(info)) || !VirtualFree(info.AllocationBase, 0, MEM_RELEASE))
        return hMem;
    return NULL;
}
