/*
 * The tray's autostart value under HKEY_LOCAL_MACHINE\...\Run: the full
 * path of the running program in quotes, written only when the user
 * agrees.  Since the value lies under HKEY_LOCAL_MACHINE, Windows then
 * starts the tray at every user's logon.  A user without the right to
 * change the machine's settings simply goes without: nothing here reports
 * a failure.
 */
#include "kivtray.h"

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

void AddToAutoRun(const char *pszValueName)
{
    HKEY hKey = NULL;
    char szQuoted[KIV_MODULE_PATH_UNITS + 2];

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KIV_TRAY_RUN_KEY_A, 0, KEY_WRITE, &hKey) != ERROR_SUCCESS)
        return;
    if (GetQuotedOwnPath(szQuoted))
        RegSetValueExA(hKey, pszValueName, 0, REG_SZ, (const BYTE *)szQuoted, (DWORD)lstrlenA(szQuoted) + 1);
    RegCloseKey(hKey);
}

/* 1 when the value names the running program, in quotes or in the
 * unquoted form of earlier installations, whatever the letter case of A
 * to Z (Windows paths are not case-sensitive, and the user or another
 * tool may have written the path in other case).  The value's type is
 * not looked at. */
int IsInAutoRun(const char *pszValueName)
{
    HKEY hKey = NULL;
    char szQuoted[KIV_MODULE_PATH_UNITS + 2];
    char szValue[KIV_MODULE_PATH_UNITS + 3];
    DWORD cbValue = KIV_MODULE_PATH_UNITS + 2;
    int result = 0;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KIV_TRAY_RUN_KEY_A, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    if (!GetQuotedOwnPath(szQuoted))
        goto Exit;
    if (RegQueryValueExA(hKey, pszValueName, NULL, NULL, (BYTE *)szValue, &cbValue) != ERROR_SUCCESS)
        goto Exit;
    /* Registry data need not end in a zero. */
    szValue[cbValue < KIV_MODULE_PATH_UNITS + 2 ? cbValue : KIV_MODULE_PATH_UNITS + 2] = '\0';
    result = EqualNoCaseAZ(szQuoted, szValue);
    if (!result) {
        /* The unquoted form: the path without its quotes. */
        szQuoted[lstrlenA(szQuoted) - 1] = '\0';
        result = EqualNoCaseAZ(szQuoted + 1, szValue);
    }

Exit:
    RegCloseKey(hKey);
    return result;
}
