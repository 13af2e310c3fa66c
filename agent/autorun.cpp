/*
 * The agent's autostart value under HKLM\...\Run, so that Windows starts it
 * at every logon.  Setup writes it; the agent checks it at every start and
 * writes it again where it may.  Where it may not write the machine's
 * key, a machine value that is right is left alone, and without one the
 * same text goes under the user's own Run key, so that the agent still
 * starts at that user's logon.  Nothing here reports a failure.
 */
#include "kivprt.h"

/* The module path (at most 255 characters) in quotes, the suffix and the
 * terminator. */
#define KIV_RUN_TEXT_UNITS (256 + 2 + sizeof(KIV_AGENT_RUN_SUFFIX) - 1)

static int AsciiEqualNoCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        char ca = AsciiLower(*a);
        char cb = AsciiLower(*b);
        if (ca != cb)
            return 0;
        if (!ca)
            return 1;
    }
}

/*
 * The text the value should hold: the agent's own module path in double
 * quotes followed by "  -start".  Unquoted, a path under "Program Files"
 * would have Windows try C:\Program.exe first at every logon.  Returns 0
 * when the path does not fit 255 characters: a cut path would make
 * Windows start nothing, or something else, at logon.  A value in the
 * earlier unquoted form is no longer the text, so it is written anew.
 */
int GetAutoRunText(char *pszText, DWORD cchText)
{
    DWORD cchPath;

    if (cchText < KIV_RUN_TEXT_UNITS)
        return 0;
    /* A path too long for the room comes back cut, without a terminator on
     * 2000 and XP, and the result is then the full room (256). */
    cchPath = GetModuleFileNameA(NULL, pszText + 1, 256);
    if (cchPath == 0 || cchPath >= 256)
        return 0;
    pszText[0] = '"';
    pszText[cchPath + 1] = '"';
    CopyMemory(pszText + cchPath + 2, KIV_AGENT_RUN_SUFFIX, sizeof(KIV_AGENT_RUN_SUFFIX));
    return 1;
}

/* 1 when the value under hRoot's Run key holds the expected text. */
static int RunValueIsRight(HKEY hRoot, const char *pszValueName)
{
    HKEY hKey = NULL;
    char szExpected[KIV_RUN_TEXT_UNITS];
    char szValue[KIV_RUN_TEXT_UNITS + 1];
    DWORD dwType = 0;
    DWORD cbValue = KIV_RUN_TEXT_UNITS;
    int result = 0;

    if (RegOpenKeyExA(hRoot, KIV_RUN_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return 0;
    if (!GetAutoRunText(szExpected, sizeof(szExpected)))
        goto Exit;
    if (RegQueryValueExA(hKey, pszValueName, NULL, &dwType, (BYTE *)szValue, &cbValue) != ERROR_SUCCESS)
        goto Exit;
    if (dwType != REG_SZ)
        goto Exit;
    /* Registry data need not end in a zero. */
    szValue[cbValue < KIV_RUN_TEXT_UNITS ? cbValue : KIV_RUN_TEXT_UNITS] = '\0';
    result = AsciiEqualNoCase(szExpected, szValue);

Exit:
    RegCloseKey(hKey);
    return result;
}

int IsInAutoRun(const char *pszValueName)
{
    return RunValueIsRight(HKEY_LOCAL_MACHINE, pszValueName);
}

void AddToAutoRun(const char *pszValueName)
{
    HKEY hKey = NULL;
    char szText[KIV_RUN_TEXT_UNITS];
    DWORD cbText;
    int bWritten = 0;

    if (!GetAutoRunText(szText, sizeof(szText)))
        return;
    cbText = (DWORD)lstrlenA(szText) + 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KIV_RUN_KEY, 0, KEY_WRITE, &hKey) == ERROR_SUCCESS) {
        bWritten = RegSetValueExA(hKey, pszValueName, 0, REG_SZ, (const BYTE *)szText, cbText) == ERROR_SUCCESS;
        RegCloseKey(hKey);
    }
    if (bWritten || RunValueIsRight(HKEY_CURRENT_USER, pszValueName))
        return;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, KIV_RUN_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey, NULL) ==
        ERROR_SUCCESS) {
        RegSetValueExA(hKey, pszValueName, 0, REG_SZ, (const BYTE *)szText, cbText);
        RegCloseKey(hKey);
    }
}
