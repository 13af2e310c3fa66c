/*
 * The single-instance mutex "KivPrinterTrayMutex30".  Its existence marks
 * a running tray: the process never owns it, it only holds a handle, and
 * the system closes that handle when the process ends.  The common library
 * has the same four operations in wide-character form on the same name.
 */
#include "kivtray.h"

/* The one handle this unit holds, NULL when none. */
static HANDLE g_hTrayMutex = NULL;

static int CreateTrayMutexWith(SECURITY_ATTRIBUTES *pSecurity)
{
    /* CreateMutex opens an existing mutex and reports it only through the
     * last error, so a stale error must not be mistaken for it. */
    SetLastError(0);
    g_hTrayMutex = CreateMutexA(pSecurity, FALSE, KIV_TRAY_MUTEX_NAME_A);
    return GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0;
}

int CreateTrayMutex(void)
{
    return CreateTrayMutexWith(NULL);
}

/* A null DACL lets every account open the mutex, so a copy started by
 * another user of the machine sees it too. */
int CreateTrayMutexNullDacl(void)
{
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;

    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION))
        return 0;
    if (!SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE))
        return 0;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
    return CreateTrayMutexWith(&sa);
}

int IsTrayMutexExist(void)
{
    HANDLE hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, KIV_TRAY_MUTEX_NAME_A);

    if (!hMutex)
        return 0;
    CloseHandle(hMutex);
    return 1;
}

/* The handle stays open on purpose: the mutex must go on marking this
 * process until it has ended. */
void ReleaseTrayMutex(void)
{
    g_hTrayMutex = NULL;
}
