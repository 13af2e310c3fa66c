/*
 * The paper forms the printer offers beyond the system's own: large ISO
 * and JIS sheets, squares for tiles and icons, and a custom size.  Forms
 * belong to the print server, not to one printer, so a form that exists
 * already (from an earlier installation, or another program's) makes its
 * addition fail, which changes nothing.  The forms that an installation
 * added itself are recorded, and the removal deletes no others.
 */
#include "setupsteps.h"

#include <string.h>
#include <wchar.h>
#include <winspool.h>

/* The spooler measures forms in thousandths of a millimetre. */
#define KIV_FORM_UNITS_PER_MM 1000
/* The record: a multi-string of form names in the product's key. */
#define KIV_FORMS_RECORD_VALUE L"KivAddedForms"
#define KIV_FORMS_RECORD_UNITS (KIV_PAPER_FORM_COUNT * KIV_FORM_NAME_UNITS + 1)

static_assert(KIV_PAPER_FORM_COUNT <= 32, "the record of added forms is a bit set in a DWORD");

const PAPERFORMENTRY g_aPaperForms[KIV_PAPER_FORM_COUNT] = {
    { L"A0 (841 x 1189 mm)",      841, 1189 },
    { L"A1 (594 x 841 mm)",       594,  841 },
    { L"B0 ISO (1000 x 1414 mm)", 1000, 1414 },
    { L"B1 ISO (707 x 1000 mm)",  707, 1000 },
    { L"B2 ISO (500 x 707 mm)",   500,  707 },
    { L"B3 ISO (353 x 500 mm)",   353,  500 },
    { L"B0 JIS (1030 x 1456 mm)", 1030, 1456 },
    { L"B1 JIS (728 x 1030 mm)",  728, 1030 },
    { L"B2 JIS (515 x 728 mm)",   515,  728 },
    { L"B3 JIS (364 x 515 mm)",   364,  515 },
    { L"F size sheet",            710, 1015 },
    { L"Square 64 x  64 mm",       64,   64 },   /* two blanks: the name users know */
    { L"Square 128 x 128 mm",     128,  128 },
    { L"Square 256 x 256 mm",     256,  256 },
    { L"Square 512 x 512 mm",     512,  512 },
    { L"Custom paper size",       216,  279 },
};

static DWORD ReadFormsRecordIn(const WCHAR *pszKey)
{
    /* Two units beyond what is read: a value without its terminators
     * still ends. */
    WCHAR szRecord[KIV_FORMS_RECORD_UNITS + 2];
    DWORD cbRecord = KIV_FORMS_RECORD_UNITS * sizeof(WCHAR), dwType = 0, dwForms = 0;
    HKEY hKey = NULL;

    ZeroMemory(szRecord, sizeof(szRecord));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(hKey, KIV_FORMS_RECORD_VALUE, NULL, &dwType, (BYTE *)szRecord, &cbRecord) ==
            ERROR_SUCCESS &&
        dwType == REG_MULTI_SZ) {
        for (const WCHAR *p = szRecord; *p; p += wcslen(p) + 1)
            for (int i = 0; i < KIV_PAPER_FORM_COUNT; i++)
                if (lstrcmpW(p, g_aPaperForms[i].szFormName) == 0)
                    dwForms |= 1UL << i;
    }
    RegCloseKey(hKey);
    return dwForms;
}

/* Earlier installations kept the record in their Add or Remove Programs
 * entry: their forms are still theirs to remove. */
DWORD ReadAddedFormsRecord(void)
{
    return ReadFormsRecordIn(KIV_PRODUCT_KEY) | ReadFormsRecordIn(KIV_UNINSTALL_KEY);
}

/* Records the forms in dwForms (bit i for row i). */
static void WriteAddedFormsRecord(DWORD dwForms)
{
    WCHAR szRecord[KIV_FORMS_RECORD_UNITS];
    size_t cch = 0;
    HKEY hKey = NULL;

    for (int i = 0; i < KIV_PAPER_FORM_COUNT; i++) {
        size_t cchName = wcslen(g_aPaperForms[i].szFormName) + 1;

        if (!(dwForms & (1UL << i)))
            continue;
        memcpy(szRecord + cch, g_aPaperForms[i].szFormName, cchName * sizeof(WCHAR));
        cch += cchName;
    }
    szRecord[cch++] = L'\0';
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KIV_PRODUCT_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        NULL, &hKey, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(hKey, KIV_FORMS_RECORD_VALUE, 0, REG_MULTI_SZ, (const BYTE *)szRecord,
                   (DWORD)(cch * sizeof(WCHAR)));
    RegCloseKey(hKey);
}

/* Returns 0 once every form was offered, -1 when the printer cannot be
 * opened (then none is). */
int AddPaperForms(void)
{
    WCHAR szPrinter[] = KIV_PRINTER_NAME_W;
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    HANDLE hPrinter = NULL;
    DWORD dwAdded = 0;

    if (!OpenPrinterW(szPrinter, &hPrinter, &defaults))
        return -1;
    for (int i = 0; i < KIV_PAPER_FORM_COUNT; i++) {
        const PAPERFORMENTRY *pRow = &g_aPaperForms[i];
        WCHAR szName[KIV_FORM_NAME_UNITS];
        FORM_INFO_1W form;

        /* FORM_INFO_1W wants a writable name. */
        CopyMemory(szName, pRow->szFormName, sizeof(szName));
        ZeroMemory(&form, sizeof(form));
        form.Flags = FORM_USER;
        form.pName = szName;
        form.Size.cx = pRow->nWidthMm * KIV_FORM_UNITS_PER_MM;
        form.Size.cy = pRow->nHeightMm * KIV_FORM_UNITS_PER_MM;
        /* The whole sheet is imageable: the images have no margins. */
        form.ImageableArea.left = 0;
        form.ImageableArea.top = 0;
        form.ImageableArea.right = form.Size.cx;
        form.ImageableArea.bottom = form.Size.cy;
        if (AddFormW(hPrinter, 1, (LPBYTE)&form))
            dwAdded |= 1UL << i;
    }
    ClosePrinter(hPrinter);
    /* Forms an earlier installation added stay its to delete. */
    if (dwAdded)
        WriteAddedFormsRecord(ReadAddedFormsRecord() | dwAdded);
    return 0;
}
