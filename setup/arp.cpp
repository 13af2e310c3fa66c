/*
 * The product's entry in Add or Remove Programs, and the copy of setup in
 * the install folder that the entry runs: the folder setup was started
 * from is often gone by the time the product is removed.
 *
 * Registration is best effort and silent, like the paper forms: without it
 * the printer works all the same, and "kivsetup /uninstall" from the setup
 * folder still removes the product.
 */
#include "setupsteps.h"
#include "kivclient.h"

#include <string.h>
#include <wchar.h>

/* The file that holds the icon the entry shows: the resource library. */
#define KIV_ARP_ICON_FILE         L"kivres.dll"
#define KIV_ARP_UNINSTALL_ARGS    L" /uninstall"
#define KIV_ARP_QUIET_ARGS        L" /uninstall /quiet"
/* A quoted program path and the longest arguments. */
#define KIV_ARP_COMMAND_UNITS     (KIV_PATH_UNITS + 32)

/* The one version of the product, from the build (the version resources
 * are made from the same number). */
#define KIV_ARP_VERSION_W         L"" KIV_PRODUCT_VERSION

static void SetStringValue(HKEY hKey, const WCHAR *pszName, const WCHAR *pszValue)
{
    RegSetValueExW(hKey, pszName, 0, REG_SZ, (const BYTE *)pszValue,
                   (DWORD)((wcslen(pszValue) + 1) * sizeof(WCHAR)));
}

static void SetNumberValue(HKEY hKey, const WCHAR *pszName, DWORD dwValue)
{
    RegSetValueExW(hKey, pszName, 0, REG_DWORD, (const BYTE *)&dwValue, sizeof(dwValue));
}

/* The size of the file in KB, rounded up; 0 when it cannot be read. */
static DWORD FileSizeKb(const WCHAR *pszPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;

    if (!GetFileAttributesExW(pszPath, GetFileExInfoStandard, &data) || data.nFileSizeHigh != 0)
        return 0;
    return (data.nFileSizeLow + 1023) / 1024;
}

/* What the installation takes on disk, in KB: the install folder's
 * files, the uninstaller among them, and the system folder's. */
static DWORD InstalledSizeKb(const WCHAR *pszInstallDir, const WCHAR *pszUninstaller)
{
    WCHAR szSystemDir[KIV_PATH_UNITS];
    WCHAR szPath[KIV_PATH_UNITS];
    UINT cchSystem = GetSystemDirectoryW(szSystemDir, KIV_PATH_UNITS);
    DWORD dwKb = FileSizeKb(pszUninstaller);

    for (int i = 0; i < KIV_INSTALL_FILE_COUNT; i++)
        if (BuildFullPath(pszInstallDir, g_apszInstallFiles[i], szPath))
            dwKb += FileSizeKb(szPath);
    if (cchSystem > 0 && cchSystem < KIV_PATH_UNITS)
        for (int i = 0; i < KIV_SYSTEM_FILE_COUNT; i++)
            if (BuildFullPath(szSystemDir, g_apszSystemFiles[i], szPath))
                dwKb += FileSizeKb(szPath);
    return dwKb;
}

/* pszOut := "program" arguments; the program path is quoted because
 * Program Files has a blank in its name. */
static void BuildCommand(const WCHAR *pszProgram, const WCHAR *pszArgs, WCHAR *pszOut)
{
    size_t cchProgram = wcslen(pszProgram), cchArgs = wcslen(pszArgs);

    static_assert(KIV_ARP_COMMAND_UNITS >= KIV_PATH_UNITS + 2 + sizeof(KIV_ARP_QUIET_ARGS) / sizeof(WCHAR),
                  "a command line could be cut");
    pszOut[0] = L'"';
    memcpy(pszOut + 1, pszProgram, cchProgram * sizeof(WCHAR));
    pszOut[1 + cchProgram] = L'"';
    memcpy(pszOut + 2 + cchProgram, pszArgs, (cchArgs + 1) * sizeof(WCHAR));
}

/* Setup's own program file into the install folder.  1 when it is there
 * afterwards. */
static int CopySetupProgram(const WCHAR *pszTarget)
{
    WCHAR szSelf[KIV_PATH_UNITS];
    DWORD cch = GetModuleFileNameW(NULL, szSelf, KIV_PATH_UNITS);

    if (cch == 0 || cch >= KIV_PATH_UNITS)
        return 0;
    /* Started from the install folder: it is its own copy. */
    if (lstrcmpiW(szSelf, pszTarget) == 0)
        return 1;
    DeleteFileIfPresent(pszTarget);
    return CopyFileW(szSelf, pszTarget, FALSE) != FALSE;
}

void RegisterUninstaller(const WCHAR *pszInstallDir)
{
    WCHAR szProgram[KIV_PATH_UNITS];
    WCHAR szIcon[KIV_PATH_UNITS];
    WCHAR szLocation[KIV_PATH_UNITS];
    WCHAR szCommand[KIV_ARP_COMMAND_UNITS];
    /* YYYYMMDD: a year has at most five digits, month and day two. */
    WCHAR szDate[16];
    SYSTEMTIME now;
    HKEY hKey = NULL;
    size_t cchLocation;

    if (!BuildFullPath(pszInstallDir, KIV_SETUP_PROGRAM, szProgram) ||
        !BuildFullPath(pszInstallDir, KIV_ARP_ICON_FILE, szIcon))
        return;
    /* An entry must never name an uninstaller that is not there. */
    if (!CopySetupProgram(szProgram))
        return;

    /* The folder as users know it, without the trailing backslash. */
    cchLocation = wcslen(pszInstallDir);
    if (cchLocation >= KIV_PATH_UNITS)
        return;
    memcpy(szLocation, pszInstallDir, (cchLocation + 1) * sizeof(WCHAR));
    if (cchLocation > 0 && szLocation[cchLocation - 1] == L'\\')
        szLocation[cchLocation - 1] = L'\0';

    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KIV_UNINSTALL_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, NULL, &hKey, NULL) != ERROR_SUCCESS)
        return;
    SetStringValue(hKey, L"DisplayName", KIV_PRINTER_NAME_W);
    SetStringValue(hKey, L"DisplayVersion", KIV_ARP_VERSION_W);
    SetStringValue(hKey, L"DisplayIcon", szIcon);
    SetStringValue(hKey, L"InstallLocation", szLocation);
    SetStringValue(hKey, L"URLInfoAbout", KIV_HOMEPAGE_URL_W);
    GetLocalTime(&now);
    wsprintfW(szDate, L"%04u%02u%02u", (unsigned)now.wYear, (unsigned)now.wMonth, (unsigned)now.wDay);
    SetStringValue(hKey, L"InstallDate", szDate);
    SetNumberValue(hKey, L"EstimatedSize", InstalledSizeKb(pszInstallDir, szProgram));
    BuildCommand(szProgram, KIV_ARP_UNINSTALL_ARGS, szCommand);
    SetStringValue(hKey, L"UninstallString", szCommand);
    BuildCommand(szProgram, KIV_ARP_QUIET_ARGS, szCommand);
    SetStringValue(hKey, L"QuietUninstallString", szCommand);
    /* Removal is all the entry offers: nothing to change or repair. */
    SetNumberValue(hKey, L"NoModify", 1);
    SetNumberValue(hKey, L"NoRepair", 1);
    RegCloseKey(hKey);
}

/* The mark of an installation that a Windows Installer package owns, in
 * the product's key (which the removal deletes). */
#define KIV_PACKAGE_MARK_VALUE L"InstalledByPackage"

int IsInstalledByPackage(void)
{
    HKEY hKey = NULL;
    DWORD dwMark = 0, cb = sizeof(dwMark), dwType = 0;
    int bMarked = 0;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_PRODUCT_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(hKey, KIV_PACKAGE_MARK_VALUE, NULL, &dwType, (BYTE *)&dwMark, &cb) == ERROR_SUCCESS)
        bMarked = dwType == REG_DWORD && dwMark != 0;
    RegCloseKey(hKey);
    return bMarked;
}

/* Over an installation that setup made itself, the package's entry would
 * be a second one, and the first one's uninstaller would remove what the
 * package installed: both go.  The product's key stays, with its record of
 * the forms for the package's removal, and is marked: a later run of setup
 * by hand (a repair, say) then adds no entry beside the package's either. */
void UnregisterUninstaller(const WCHAR *pszInstallDir)
{
    WCHAR szProgram[KIV_PATH_UNITS];
    HKEY hKey = NULL;

    RegDeleteKeyW(HKEY_LOCAL_MACHINE, KIV_UNINSTALL_KEY);
    if (BuildFullPath(pszInstallDir, KIV_SETUP_PROGRAM, szProgram))
        DeleteFileIfPresent(szProgram);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KIV_PRODUCT_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        NULL, &hKey, NULL) == ERROR_SUCCESS) {
        SetNumberValue(hKey, KIV_PACKAGE_MARK_VALUE, 1);
        RegCloseKey(hKey);
    }
}
