/*
 * The marks of setup's last run, for the package that runs it (runmark.h).
 * Every call is silent: a mark that cannot be written only costs a
 * package's rollback or its restart report, never the run itself.
 */
#include "setupsteps.h"
#include "runmark.h"

static const WCHAR *RunMarkKind(int bRemoval)
{
    return bRemoval ? KIV_RUN_MARK_REMOVED : KIV_RUN_MARK_INSTALLED;
}

static HKEY OpenRunMarkKey(REGSAM access, int bCreate)
{
    HKEY hKey = NULL;
    LONG rc = bCreate ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, KIV_RUN_MARK_KEY, 0, NULL, REG_OPTION_VOLATILE, access,
                                        NULL, &hKey, NULL)
                      : RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_RUN_MARK_KEY, 0, access, &hKey);
    return rc == ERROR_SUCCESS ? hKey : NULL;
}

int IsLastRun(int bRemoval)
{
    WCHAR szKind[16];
    DWORD cb = sizeof(szKind) - sizeof(WCHAR), dwType = 0;
    HKEY hKey = OpenRunMarkKey(KEY_QUERY_VALUE, 0);
    int bIs = 0;

    ZeroMemory(szKind, sizeof(szKind));
    if (hKey != NULL &&
        RegQueryValueExW(hKey, KIV_RUN_MARK_LAST_RUN, NULL, &dwType, (BYTE *)szKind, &cb) == ERROR_SUCCESS &&
        dwType == REG_SZ)
        bIs = lstrcmpW(szKind, RunMarkKind(bRemoval)) == 0;
    if (hKey != NULL)
        RegCloseKey(hKey);
    return bIs;
}

void WithdrawRunMark(int bRemoval)
{
    HKEY hKey;

    if (!IsLastRun(bRemoval) || (hKey = OpenRunMarkKey(KEY_SET_VALUE, 0)) == NULL)
        return;
    RegDeleteValueW(hKey, KIV_RUN_MARK_LAST_RUN);
    RegCloseKey(hKey);
}

void WriteRunMarks(int bRemoval, int bCompleted)
{
    const WCHAR *pszKind = RunMarkKind(bRemoval);
    DWORD dwOne = 1;
    HKEY hKey;

    if (!bCompleted && !IsRestartPending())
        return;
    if ((hKey = OpenRunMarkKey(KEY_SET_VALUE, 1)) == NULL)
        return;
    if (bCompleted)
        RegSetValueExW(hKey, KIV_RUN_MARK_LAST_RUN, 0, REG_SZ, (const BYTE *)pszKind,
                       (DWORD)(lstrlenW(pszKind) + 1) * sizeof(WCHAR));
    if (IsRestartPending())
        RegSetValueExW(hKey, KIV_RUN_MARK_RESTART, 0, REG_DWORD, (const BYTE *)&dwOne, sizeof(dwOne));
    RegCloseKey(hKey);
}
