/*
 * The driver-signing policy of Windows 2000.
 *
 * With "Policy" at 1 (warn) or 2 (block), Windows 2000 stops an unsigned
 * driver's registration with a question or a refusal that setup cannot
 * answer.  Setup clears the value for the length of the installation and
 * puts the old value back afterwards.  Windows XP keeps the policy
 * elsewhere and is never touched (the caller decides).
 */
#include "kivsetup.h"

#define KIV_SIGNING_KEY    L"SOFTWARE\\Microsoft\\Driver Signing"
#define KIV_SIGNING_VALUE  L"Policy"
/* The valid policies are 0 (ignore), 1 (warn) and 2 (block). */
#define KIV_POLICY_LIMIT   3
/* Nothing remembered. */
#define KIV_POLICY_NONE    255

static BYTE g_bRememberedPolicy = KIV_POLICY_NONE;

static void WritePolicy(HKEY hKey, BYTE bPolicy)
{
    RegSetValueExW(hKey, KIV_SIGNING_VALUE, 0, REG_BINARY, &bPolicy, 1);
}

static void RememberAndClearPolicy(void)
{
    HKEY hKey = NULL;
    BYTE bPolicy = 0;
    DWORD cbPolicy = 1;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_SIGNING_KEY, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS) {
        /* A value longer than one byte (a DWORD, say) does not fit and is
         * not remembered: the restore then leaves the cleared value. */
        if (RegQueryValueExW(hKey, KIV_SIGNING_VALUE, NULL, NULL, &bPolicy, &cbPolicy) == ERROR_SUCCESS)
            g_bRememberedPolicy = bPolicy;
        RegCloseKey(hKey);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_SIGNING_KEY, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    WritePolicy(hKey, 0);
    RegCloseKey(hKey);
}

static void RestorePolicy(void)
{
    HKEY hKey = NULL;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_SIGNING_KEY, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    if (g_bRememberedPolicy < KIV_POLICY_LIMIT)
        WritePolicy(hKey, g_bRememberedPolicy);
    RegCloseKey(hKey);
}

void SetDriverSigningPolicy(int mode)
{
    if (mode == KIV_POLICY_CLEAR)
        RememberAndClearPolicy();
    else if (mode == KIV_POLICY_RESTORE)
        RestorePolicy();
}
