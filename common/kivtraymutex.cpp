/*
 * The tray's single-instance mutex in wide-character form (see
 * kivtraymutex.h).
 */
#include "kivtraymutex.h"

/* The one handle this unit holds. */
static HANDLE g_hTrayMutex = NULL;

/*
 * Creates or opens the mutex with the given security and holds the handle,
 * also when the mutex existed already.  The last-error code is cleared
 * first, so that a stale 183 cannot count.
 */
static int CreateTrayMutexWith(SECURITY_ATTRIBUTES *pSecurity)
{
    HANDLE hMutex;
    int bExisted;

    SetLastError(0);
    hMutex = CreateMutexW(pSecurity, FALSE, KIV_TRAY_MUTEX_NAME);
    bExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    if (hMutex == NULL)
        return 0;
    /* Only one handle is held: a second call replaces the first, which
     * names the same object. */
    if (g_hTrayMutex != NULL)
        CloseHandle(g_hTrayMutex);
    g_hTrayMutex = hMutex;
    return bExisted;
}

int CreateTrayMutex(void)
{
    return CreateTrayMutexWith(NULL);
}

int CreateTrayMutexNullDacl(void)
{
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;

    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION))
        return 0;
    /* Present and null: every account may open the mutex. */
    if (!SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE))
        return 0;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
    return CreateTrayMutexWith(&sa);
}

int IsTrayMutexExist(void)
{
    HANDLE hMutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, KIV_TRAY_MUTEX_NAME);

    if (hMutex == NULL)
        return 0;
    CloseHandle(hMutex);
    return 1;
}

void ReleaseTrayMutex(void)
{
    /* Not closed on purpose: the system closes it when the process ends,
     * so the mutex keeps marking this process until then. */
    g_hTrayMutex = NULL;
}
