/*
 * kivmsica.dll: the package's closing action, run by Windows Installer
 * after InstallFinalize (type 1, from the package's Binary table; never
 * installed).  Setup runs deferred, in the system's context, where it
 * cannot tell Windows Installer anything but its exit code; so when its
 * work waits for a restart it leaves a mark (runmark.h), and this action
 * asks for the restart at the end: msiexec then returns 3010
 * (ERROR_SUCCESS_REBOOT_REQUIRED) and a deployment tool sees it.  It never
 * fails the installation.
 */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "runmark.h"

/* Linked without the C runtime: nothing to set up when loaded. */
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)hInstance;
    (void)dwReason;
    (void)pReserved;
    return TRUE;
}

extern "C" __declspec(dllexport) UINT WINAPI KivReportRestart(MSIHANDLE hInstall)
{
    HKEY hKey = NULL;
    DWORD dwPending = 0, cb = sizeof(dwPending), dwType = 0;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KIV_RUN_MARK_KEY, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS) {
        if (RegQueryValueExW(hKey, KIV_RUN_MARK_RESTART, NULL, &dwType, (BYTE *)&dwPending, &cb) == ERROR_SUCCESS &&
            dwType == REG_DWORD && dwPending != 0)
            MsiSetMode(hInstall, MSIRUNMODE_REBOOTATEND, TRUE);
        RegCloseKey(hKey);
    }
    return ERROR_SUCCESS;
}
