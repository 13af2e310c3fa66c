/*
 * The tray's autostart value under HKEY_LOCAL_MACHINE\...\Run: the full
 * path of the running program in quotes, written only when the user
 * agrees.  Since the value lies under HKEY_LOCAL_MACHINE, Windows then
 * starts the tray at every user's logon.  A user without the right to
 * change the machine's settings gets the value under the own Run key of
 * HKEY_CURRENT_USER instead; nothing here reports a failure.
 */
#include "kivtray.h"
#ifdef KIV_TRAY_TEST_SEAMS
#include "trayseams.h"
#endif

/* The running program's path in KIV_MODULE_PATH_UNITS characters.  0 when
 * it does not fit: on 2000 and XP GetModuleFileNameA then returns the full
 * room with an unterminated, cut path, and a cut path would make Windows
 * start nothing, or something else, at logon. */
static int GetOwnPath(char *pszPath)
{
    DWORD cch = GetModuleFileNameA(NULL, pszPath, KIV_MODULE_PATH_UNITS);

    if (cch == 0 || cch >= KIV_MODULE_PATH_UNITS)
        return 0;
    pszPath[cch] = '\0';
    return 1;
}

/* The running program's path in double quotes (KIV_MODULE_PATH_UNITS + 2
 * characters): unquoted, a path under "Program Files" would have Windows
 * try C:\Program.exe first at every logon.  0 when the path does not fit. */
static int GetQuotedOwnPath(char *pszQuoted)
{
    size_t cch;

    if (!GetOwnPath(pszQuoted + 1))
        return 0;
    cch = (size_t)lstrlenA(pszQuoted + 1);
    pszQuoted[0] = '"';
    pszQuoted[cch + 1] = '"';
    pszQuoted[cch + 2] = '\0';
    return 1;
}

/* The machine's Run key, opened to write the value. */
static LONG OpenMachineRunToWrite(HKEY *phKey)
{
#ifdef KIV_TRAY_TEST_SEAMS
    if (TraySeamDenyMachineRun())
        return ERROR_ACCESS_DENIED;
#endif
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, KIV_TRAY_RUN_KEY_A, 0, KEY_WRITE, phKey);
}

static int SetRunValue(HKEY hKey, const char *pszValueName, const char *pszQuoted)
{
    return RegSetValueExA(hKey, pszValueName, 0, REG_SZ, (const BYTE *)pszQuoted, (DWORD)lstrlenA(pszQuoted) + 1) ==
           ERROR_SUCCESS;
}

/* The machine's value where this user may write it.  Elsewhere (a limited
 * user, and on Vista and later anybody not elevated: the machine's Run key
 * is never virtualised) the user's own Run key takes the value, so that
 * Yes starts the tray at least at this user's logons. */
void AddToAutoRun(const char *pszValueName)
{
    HKEY hKey = NULL;
    char szQuoted[KIV_MODULE_PATH_UNITS + 2];
    int bStored = 0;

    if (!GetQuotedOwnPath(szQuoted))
        return;
    if (OpenMachineRunToWrite(&hKey) == ERROR_SUCCESS) {
        bStored = SetRunValue(hKey, pszValueName, szQuoted);
        RegCloseKey(hKey);
        hKey = NULL;
    }
    if (!bStored &&
        RegCreateKeyExA(HKEY_CURRENT_USER, KIV_TRAY_RUN_KEY_A, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL) ==
            ERROR_SUCCESS) {
        SetRunValue(hKey, pszValueName, szQuoted);
        RegCloseKey(hKey);
    }
}

/* 1 when the value under the Run key of hRoot names the running program
 * (pszQuoted, its path in quotes), in quotes or in the unquoted form of
 * earlier installations, whatever the letter case of A to Z (Windows
 * paths are not case-sensitive, and the user or another tool may have
 * written the path in other case).  The value's type is not looked at. */
static int RunValueNamesProgram(HKEY hRoot, const char *pszValueName, const char *pszQuoted)
{
    HKEY hKey = NULL;
    char szValue[KIV_MODULE_PATH_UNITS + 3];
    DWORD cbValue = KIV_MODULE_PATH_UNITS + 2;
    size_t cchQuoted = (size_t)lstrlenA(pszQuoted);
    int result = 0;

    if (RegOpenKeyExA(hRoot, KIV_TRAY_RUN_KEY_A, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExA(hKey, pszValueName, NULL, NULL, (BYTE *)szValue, &cbValue) == ERROR_SUCCESS) {
        /* Registry data need not end in a zero. */
        szValue[cbValue < KIV_MODULE_PATH_UNITS + 2 ? cbValue : KIV_MODULE_PATH_UNITS + 2] = '\0';
        result = EqualNoCaseAZ(pszQuoted, szValue);
        /* The unquoted form: the value is the path without its quotes. */
        if (!result) {
            char szPath[KIV_MODULE_PATH_UNITS];

            CopyMemory(szPath, pszQuoted + 1, cchQuoted - 2);
            szPath[cchQuoted - 2] = '\0';
            result = EqualNoCaseAZ(szPath, szValue);
        }
    }
    RegCloseKey(hKey);
    return result;
}

/* The machine's value or, where the user could not write that, the
 * user's own. */
int IsInAutoRun(const char *pszValueName)
{
    char szQuoted[KIV_MODULE_PATH_UNITS + 2];

    if (!GetQuotedOwnPath(szQuoted))
        return 0;
    return RunValueNamesProgram(HKEY_LOCAL_MACHINE, pszValueName, szQuoted) ||
           RunValueNamesProgram(HKEY_CURRENT_USER, pszValueName, szQuoted);
}
