/*
 * The settings record: defaults, repair and the FileFormat helpers.
 *
 * A record may come from a file that anybody wrote, so the repair first
 * makes sure every text is terminated inside its area and only then reads
 * any of them.  It writes a field only when the field is out of range, so
 * a record that is in range comes back byte for byte as it was.
 */
#include "kivcfg.h"
#include "kivpath.h"

#include <wchar.h>

/* The FileFormat codes, their families (named after their first code) and
 * colour types. */
enum { KIV_FAMILY_0 = 0, KIV_FAMILY_2 = 2, KIV_FAMILY_6 = 6, KIV_FAMILY_128 = 128 };

static const WCHAR g_szTrueColor[]  = L"True color";
static const WCHAR g_szGrayscale[]  = L"Grayscale";
static const WCHAR g_sz256Color[]   = L"256 color";
static const WCHAR g_szMonochrome[] = L"Monochrome";
static const WCHAR g_szUnknown[]    = L"unknown file format";

typedef struct {
    DWORD dwCode;
    DWORD dwFamily;
    const WCHAR *pszColorType;
} KIVFORMATINFO;

static const KIVFORMATINFO g_aFormats[] = {
    {   0, KIV_FAMILY_0,   g_szTrueColor  },
    {   1, KIV_FAMILY_0,   g_szGrayscale  },
    {   2, KIV_FAMILY_2,   g_szTrueColor  },
    {   3, KIV_FAMILY_2,   g_szGrayscale  },
    {   4, KIV_FAMILY_2,   g_sz256Color   },
    {   5, KIV_FAMILY_2,   g_szMonochrome },
    {   6, KIV_FAMILY_6,   g_szTrueColor  },
    {   7, KIV_FAMILY_6,   g_szGrayscale  },
    {   8, KIV_FAMILY_6,   g_sz256Color   },
    {   9, KIV_FAMILY_6,   g_szMonochrome },
    { 128, KIV_FAMILY_128, g_szMonochrome },
    { 129, KIV_FAMILY_128, g_sz256Color   },
    { 130, KIV_FAMILY_128, g_szTrueColor  },
    { 131, KIV_FAMILY_128, g_szGrayscale  },
};

#define KIV_COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

/* The monochrome codes that restriction mode 1 allows. */
#define KIV_FORMAT_MONO_FAMILY2 5
#define KIV_FORMAT_MONO_FAMILY6 9

/* Defaults that have no name of their own. */
#define KIV_DEFAULT_LEVEL        60
#define KIV_DEFAULT_QFACTOR      75
#define KIV_DEFAULT_DIGITS       4
#define KIV_DEFAULT_FILENAME     L"temp"
#define KIV_DEFAULT_INITIALPATH  L"c:\\"
#define KIV_DEFAULT_FACTOR       1.0f
#define KIV_FACTOR_MAX           3.0f

/* Only the first bytes of the two long text areas are cleared by the
 * defaults; the tails keep what they held. */
#define KIV_FILENAME_CLEAR_BYTES     403
#define KIV_INITIALPATH_CLEAR_BYTES  401

/* The program check clears bRunApp for program paths this short. */
#define KIV_RUNAPP_MIN_LEN       6

static const KIVFORMATINFO *FindFormat(DWORD dwCode)
{
    size_t i;

    for (i = 0; i < KIV_COUNT_OF(g_aFormats); i++) {
        if (g_aFormats[i].dwCode == dwCode)
            return &g_aFormats[i];
    }
    return NULL;
}

static int IsInFamily(const KIVPRINTERCFG *pCfg, DWORD dwFamily)
{
    const KIVFORMATINFO *pInfo = FindFormat(pCfg->FileFormat);
    return pInfo != NULL && pInfo->dwFamily == dwFamily;
}

static int HasColorType(const KIVPRINTERCFG *pCfg, const WCHAR *pszColorType)
{
    const KIVFORMATINFO *pInfo = FindFormat(pCfg->FileFormat);
    return pInfo != NULL && pInfo->pszColorType == pszColorType;
}

/* Copies a constant text that is known to fit, terminator included. */
static void PutText(WCHAR *pszArea, size_t cUnits, const WCHAR *pszText)
{
    size_t cch = wcslen(pszText);

    if (cch >= cUnits)
        cch = cUnits - 1;
    CopyMemory(pszArea, pszText, cch * sizeof(WCHAR));
    pszArea[cch] = L'\0';
}

/* A text area without a terminator is terminated at its last unit. */
static void TerminateTextArea(WCHAR *pszArea, size_t cUnits)
{
    size_t i;

    for (i = 0; i < cUnits; i++) {
        if (pszArea[i] == L'\0')
            return;
    }
    pszArea[cUnits - 1] = L'\0';
}

static void TerminateTexts(KIVPRINTERCFG *pCfg)
{
    TerminateTextArea(pCfg->szFileName, KIV_FILENAME_UNITS);
    TerminateTextArea(pCfg->szRunAppName, KIV_RUNAPPNAME_UNITS);
    TerminateTextArea(pCfg->szRunAppParams, KIV_RUNAPPPARAMS_UNITS);
    TerminateTextArea(pCfg->szInitialPath, KIV_INITIALPATH_UNITS);
    TerminateTextArea(pCfg->szText2372, KIV_TEXT2372_UNITS);
    TerminateTextArea(pCfg->szText2572, KIV_TEXT2572_UNITS);
}

/* One slot of the record, by what the build keeps in it (kivarch.h): the
 * text's address in 32-bit code, its offset in the record in 64-bit code. */
static inline void SetTextSlot(WCHAR **ppSlot, WCHAR *pszText, DWORD)
{
    *ppSlot = pszText;
}

static inline void SetTextSlot(DWORD *pdwSlot, WCHAR *, DWORD dwOffset)
{
    *pdwSlot = dwOffset;
}

void SetCfgTextSlots(KIVPRINTERCFG *pCfg)
{
    SetTextSlot(&pCfg->pszInitialPath, pCfg->szInitialPath,
                (DWORD)offsetof(KIVPRINTERCFG, szInitialPath));
    SetTextSlot(&pCfg->pszFileName, pCfg->szFileName, (DWORD)offsetof(KIVPRINTERCFG, szFileName));
}

WCHAR *KivCfgInitialPath(KIVPRINTERCFG *pCfg)
{
    return pCfg->szInitialPath;
}

WCHAR *KivCfgFileName(KIVPRINTERCFG *pCfg)
{
    return pCfg->szFileName;
}

/* A factor below 1.0 or not a number becomes 1.0, above 3.0 becomes 3.0;
 * one in range is not written at all. */
static void BoundFactor(FLOAT *pfFactor)
{
    FLOAT f = *pfFactor;

    if (!(f >= KIV_DEFAULT_FACTOR))   /* also true for NaN */
        *pfFactor = KIV_DEFAULT_FACTOR;
    else if (f > KIV_FACTOR_MAX)
        *pfFactor = KIV_FACTOR_MAX;
}

static void SetFormatFallback(KIVPRINTERCFG *pCfg)
{
    pCfg->FileFormat = KIV_FORMAT_DEFAULT;
    pCfg->bFormatOption = 1;
    pCfg->bFormatVariant = 1;
}

KIVPRINTERCFG *SetDefaultCfgData(KIVPRINTERCFG *pCfg)
{
    BYTE *pBytes = (BYTE *)pCfg;

    ZeroMemory(pBytes + offsetof(KIVPRINTERCFG, szInitialPath), KIV_INITIALPATH_CLEAR_BYTES);
    ZeroMemory(pBytes + offsetof(KIVPRINTERCFG, szFileName), KIV_FILENAME_CLEAR_BYTES);
    SetCfgTextSlots(pCfg);

    pCfg->dwValue0 = 0;
    pCfg->dwValue4 = 0;
    pCfg->bLevel = KIV_DEFAULT_LEVEL;
    pCfg->bSelect9 = 0;
    pCfg->FileFormat = KIV_FORMAT_DEFAULT;
    pCfg->bValue16 = 0;
    pCfg->bFormatOption = 1;
    pCfg->bFormatVariant = 1;
    pCfg->bSelect19 = 1;
    pCfg->QFactor = KIV_DEFAULT_QFACTOR;
    pCfg->bCompression = 0;

    PutText(pCfg->szFileName, KIV_FILENAME_UNITS, KIV_DEFAULT_FILENAME);
    PutText(pCfg->szInitialPath, KIV_INITIALPATH_UNITS, KIV_DEFAULT_INITIALPATH);

    pCfg->dwNumofDigits = KIV_DEFAULT_DIGITS;
    pCfg->dwCounter = 0;
    ZeroMemory(pCfg->adwValues852, sizeof(pCfg->adwValues852));
    pCfg->fFactor1 = KIV_DEFAULT_FACTOR;
    pCfg->fFactor2 = KIV_DEFAULT_FACTOR;
    ZeroMemory(pCfg->adwValues888, sizeof(pCfg->adwValues888));
    pCfg->bSelect908 = 0;
    pCfg->dwValue912 = 1;
    pCfg->bValue916 = 0;
    pCfg->dwValue920 = 1;
    pCfg->bValue924 = 0;
    pCfg->dwValue2368 = 0;
    pCfg->szText2372[0] = L'\0';
    pCfg->szText2572[0] = L'\0';
    pCfg->bRunApp = 1;
    pCfg->bNoAppCheck = 1;
    pCfg->szRunAppName[0] = L'\0';
    PutText(pCfg->szRunAppParams, KIV_RUNAPPPARAMS_UNITS, KIV_PARAMS_APPENDIX);
    pCfg->dwValue1536 = 0;
    pCfg->dwValue1540 = 0;
    pCfg->bUserId = KIV_USERID_MIN;
    pCfg->bHidePrintCfgDialog = 0;
    pCfg->dwValue1548 = 0;
    pCfg->dwValue1552 = 0;
    return pCfg;
}

/* The program check: only when bRunApp is on and bNoAppCheck is off. */
/*
 * 1 when a missing file or folder at the path is really missing: the path
 * is neither a UNC path nor on a drive letter that is remote or unknown
 * here.  Mapped drive letters exist only in the logon session that made
 * them: in the spooler, in an elevated process or under another account,
 * the user's "Z:\scans" is on no drive at all, and must not be taken for
 * missing.  Other paths without a drive letter are judged as before.
 */
static int IsJudgedHere(const WCHAR *pszPath)
{
    WCHAR szRoot[4];

    if (pszPath[0] == L'\\' && pszPath[1] == L'\\')
        return 0;
    if (pszPath[0] == L'\0' || pszPath[1] != L':')
        return 1;
    szRoot[0] = pszPath[0];
    szRoot[1] = L':';
    szRoot[2] = L'\\';
    szRoot[3] = L'\0';
    switch (GetDriveTypeW(szRoot)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_RAMDISK:
    case DRIVE_CDROM:
        return 1;
    default:
        return 0;
    }
}

static void CheckRunApp(KIVPRINTERCFG *pCfg)
{
    size_t cchParams;
    size_t cchAppendix = wcslen(KIV_PARAMS_APPENDIX);

    if (!pCfg->bRunApp || pCfg->bNoAppCheck)
        return;
    if (wcslen(pCfg->szRunAppName) < KIV_RUNAPP_MIN_LEN) {
        pCfg->bRunApp = 0;
        return;
    }
    if (KivQuietFileAttributes(pCfg->szRunAppName) == INVALID_FILE_ATTRIBUTES && IsJudgedHere(pCfg->szRunAppName)) {
        pCfg->bRunApp = 0;
        return;
    }
    if (KivFindString(pCfg->szRunAppParams, KIV_PARAMS_PLACEHOLDER) != NULL)
        return;
    cchParams = wcslen(pCfg->szRunAppParams);
    if (cchParams + cchAppendix >= KIV_RUNAPPPARAMS_UNITS) {
        /* No room: never run the program without the printed file, and
         * never cut the user's parameters short. */
        pCfg->bRunApp = 0;
        return;
    }
    CopyMemory(pCfg->szRunAppParams + cchParams, KIV_PARAMS_APPENDIX,
               (cchAppendix + 1) * sizeof(WCHAR));
}

void CheckValidityDevOpt(KIVPRINTERCFG *pCfg)
{
    TerminateTexts(pCfg);
    SetCfgTextSlots(pCfg);

    if (pCfg->bLevel > KIV_LEVEL_MAX)
        pCfg->bLevel = KIV_LEVEL_REPAIR;
    if (pCfg->bSelect9 > 2)
        pCfg->bSelect9 = 0;

    if (pCfg->bFormatOption > 2)
        pCfg->bFormatOption = 1;
    if (pCfg->bFormatVariant > 5)
        pCfg->bFormatVariant = 2;
    /* After the option checks on purpose: an invalid code resets both. */
    if (!IsValidFileFormat(pCfg->FileFormat))
        SetFormatFallback(pCfg);

    if (pCfg->bSelect19 > 2)
        pCfg->bSelect19 = 1;
    if (pCfg->QFactor > KIV_QFACTOR_MAX)
        pCfg->QFactor = KIV_QFACTOR_REPAIR;
    if (pCfg->bCompression > 2)
        pCfg->bCompression = 0;

    /* A network folder, or one on a drive that is remote or unknown here,
     * is kept without a test: the spooler's account may not reach it, the
     * agent or the user's own session will.  A missing local one falls
     * back. */
    if (!CheckIfNetworkPath(pCfg->szInitialPath) && IsJudgedHere(pCfg->szInitialPath) &&
        !LocalDirExists(pCfg->szInitialPath))
        PutText(pCfg->szInitialPath, KIV_INITIALPATH_UNITS, KIV_DEFAULT_INITIALPATH);

    if (pCfg->szFileName[0] == L'\0')
        PutText(pCfg->szFileName, KIV_FILENAME_UNITS, KIV_DEFAULT_FILENAME);

    if (pCfg->dwNumofDigits < KIV_DIGITS_MIN)
        pCfg->dwNumofDigits = KIV_DIGITS_MIN;
    if (pCfg->dwNumofDigits > KIV_DIGITS_MAX)
        pCfg->dwNumofDigits = KIV_DIGITS_MAX;
    if (pCfg->dwCounter > KIV_COUNTER_MAX)
        pCfg->dwCounter = KIV_COUNTER_MAX;

    BoundFactor(&pCfg->fFactor1);
    BoundFactor(&pCfg->fFactor2);

    if (pCfg->bSelect908 > 2)
        pCfg->bSelect908 = 2;
    if (pCfg->bHidePrintCfgDialog > 1)
        pCfg->bHidePrintCfgDialog = 0;
    if (pCfg->bUserId > KIV_USERID_MAX)
        pCfg->bUserId = KIV_USERID_MIN;
    if (pCfg->bUserId == 0)
        pCfg->bUserId = KIV_USERID_MIN;

    CheckRunApp(pCfg);
}

int IsValidFileFormat(DWORD dwFileFormat)
{
    return FindFormat(dwFileFormat) != NULL;
}

const WCHAR *GetColorTypeName(const KIVPRINTERCFG *pCfg)
{
    const KIVFORMATINFO *pInfo = FindFormat(pCfg->FileFormat);
    return pInfo != NULL ? pInfo->pszColorType : g_szUnknown;
}

int IsFamily0Format(const KIVPRINTERCFG *pCfg)
{
    return IsInFamily(pCfg, KIV_FAMILY_0);
}

int IsFamily0Grayscale(const KIVPRINTERCFG *pCfg)
{
    return IsInFamily(pCfg, KIV_FAMILY_0) && HasColorType(pCfg, g_szGrayscale);
}

int IsFamily2Format(const KIVPRINTERCFG *pCfg)
{
    return IsInFamily(pCfg, KIV_FAMILY_2);
}

int IsFamily2WithFormatOption(const KIVPRINTERCFG *pCfg)
{
    return IsFamily2Format(pCfg) && (pCfg->bFormatOption == 1 || pCfg->bFormatOption == 2);
}

int IsFamily6Format(const KIVPRINTERCFG *pCfg)
{
    return IsInFamily(pCfg, KIV_FAMILY_6);
}

int Is256ColorFormat(const KIVPRINTERCFG *pCfg)
{
    return HasColorType(pCfg, g_sz256Color);
}

int IsMonochromeFormat(const KIVPRINTERCFG *pCfg)
{
    return HasColorType(pCfg, g_szMonochrome);
}

void ValidateFileFormat(int iMode, KIVPRINTERCFG *pCfg)
{
    if (iMode != KIV_FORMAT_MODE_MONOCHROME)
        return;
    if (pCfg->FileFormat != KIV_FORMAT_MONO_FAMILY2 && pCfg->FileFormat != KIV_FORMAT_MONO_FAMILY6)
        SetFormatFallback(pCfg);
}
