/*
 * Stopping and starting the print spooler service ("spooler") through the
 * service control manager.  Offered to any caller; the installation itself
 * does not need them, because the spooler takes a new driver, port and
 * printer while it runs.
 */
#include "kivsetup.h"

#define KIV_SPOOLER_SERVICE   L"spooler"
/* Pause between two status queries while the spooler stops. */
#define KIV_STOP_POLL_MS      500
/* The longest the stop waits: 60 queries, 30 seconds.  A spooler that
 * hangs in STOP_PENDING (a driver that does not unload, say) would
 * otherwise keep the caller waiting for ever; 30 seconds is well beyond
 * the few seconds a healthy spooler needs, and the caller still learns
 * that the request was accepted. */
#define KIV_STOP_POLL_LIMIT   60

int StopSpoolerService(void)
{
    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = NULL;
    SERVICE_STATUS status;
    int result = 0;

    SetLastError(0);
    hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!hManager)
        goto Exit;
    hService = OpenServiceW(hManager, KIV_SPOOLER_SERVICE, SERVICE_ALL_ACCESS);
    if (!hService)
        goto Exit;

    ZeroMemory(&status, sizeof(status));
    result = ControlService(hService, SERVICE_CONTROL_STOP, &status) ? 1 : 0;
    if (result) {
        for (int polls = 0; polls < KIV_STOP_POLL_LIMIT; polls++) {
            Sleep(KIV_STOP_POLL_MS);
            if (!QueryServiceStatus(hService, &status) || status.dwCurrentState == SERVICE_STOPPED)
                break;
        }
    }

Exit:
    if (hService)
        CloseServiceHandle(hService);
    if (hManager)
        CloseServiceHandle(hManager);
    /* The caller learns only whether the stop was accepted. */
    SetLastError(0);
    return result;
}

int StartSpoolerService(void)
{
    SC_HANDLE hManager;
    SC_HANDLE hService;
    DWORD dwError;
    int result = 0;

    SetLastError(0);
    hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!hManager)
        return 0;
    hService = OpenServiceW(hManager, KIV_SPOOLER_SERVICE, SERVICE_START);
    if (hService)
        result = StartServiceW(hService, 0, NULL) ? 1 : 0;
    /* Closing the handles must not hide why the start failed: the caller
     * reads the last-error value of the failing call. */
    dwError = GetLastError();
    if (hService)
        CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    SetLastError(dwError);
    return result;
}
