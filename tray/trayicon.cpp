/*
 * The notification icon.  The shell keeps icons per window and
 * identifier, so one record, filled once at start, serves to add the icon,
 * to add it again and to delete it.
 *
 * Started from the Run key while Explorer is still busy, the add often
 * fails, and no TaskbarCreated message follows to make up for it: a timer
 * then tries again every few seconds for about two minutes.
 */
#include "kivtray.h"
#ifdef KIV_TRAY_TEST_SEAMS
#include "trayseams.h"
#endif

static const char g_szTip[] = KIV_PRINTER_NAME_A;

static_assert(sizeof(void *) != 4 || KIV_NOTIFYICONDATAA_V1_SIZE == 88,
              "the first form of NOTIFYICONDATAA is 88 bytes in 32-bit code");

static BOOL NotifyShell(DWORD dwMessage)
{
#ifdef KIV_TRAY_TEST_SEAMS
    if (dwMessage == NIM_ADD && TraySeamFailIconAdd())
        return FALSE;
#endif
    return Shell_NotifyIconA(dwMessage, &g_tray.nid);
}

static void StopIconRetries(void)
{
    if (g_tray.cIconRetriesLeft && g_tray.hTrayWnd)
        KillTimer(g_tray.hTrayWnd, KIV_TRAY_ICON_TIMER_ID);
    g_tray.cIconRetriesLeft = 0;
}

/* Adds the icon; when the shell refuses, the timer tries again.  A new
 * add starts the count afresh. */
static void AddOrRetry(void)
{
    StopIconRetries();
    if (NotifyShell(NIM_ADD))
        return;
    if (g_tray.hTrayWnd && SetTimer(g_tray.hTrayWnd, KIV_TRAY_ICON_TIMER_ID, KIV_TRAY_ICON_RETRY_MS, NULL))
        g_tray.cIconRetriesLeft = KIV_TRAY_ICON_RETRIES;
}

/* Fills the record and adds the icon.  The image comes from the resource
 * library when it is loaded; without it the icon is added without an
 * image.  LoadImageA makes its own copy of the icon, so the image stays
 * valid after the library is freed again.  The image is made at the
 * system's small-icon size, which grows with the screen's DPI. */
void AddTrayIcon(void)
{
    int cx = GetSystemMetrics(SM_CXSMICON);
    int cy = GetSystemMetrics(SM_CYSMICON);

    ZeroMemory(&g_tray.nid, sizeof(g_tray.nid));
    g_tray.nid.cbSize = KIV_NOTIFYICONDATAA_V1_SIZE;
    g_tray.nid.hWnd = g_tray.hTrayWnd;
    g_tray.nid.uID = KIV_TRAY_ICON_UID;
    g_tray.nid.uFlags = KIV_TRAY_ICON_FLAGS;
    g_tray.nid.uCallbackMessage = WM_TRAY_NOTIFY;
    if (g_tray.hResLib)
        g_tray.nid.hIcon = (HICON)LoadImageA(g_tray.hResLib, MAKEINTRESOURCEA(IDI_KIVTRAY), IMAGE_ICON,
                                             cx > 0 ? cx : KIV_TRAY_ICON_SIZE, cy > 0 ? cy : KIV_TRAY_ICON_SIZE,
                                             LR_DEFAULTCOLOR);
    /* The first form of the record has room for 64 characters of tip. */
    CopyText(g_tray.nid.szTip, 64, g_szTip);
    g_tray.bIconRecordReady = 1;
    AddOrRetry();
}

/* A new task bar (Explorer restarted, or started after the tray) knows no
 * icons: without this the user would lose the only way to reach a tray
 * that goes on running. */
void AddTrayIconAgain(void)
{
    if (g_tray.bIconRecordReady)
        AddOrRetry();
}

/* The timer's tick.  The add that was reported as failed may have reached
 * the shell all the same (a busy Explorer answers late): a modify that
 * succeeds shows the icon is there, and a second add would fail. */
void RetryTrayIcon(void)
{
    if (!g_tray.cIconRetriesLeft)
        return;
    if (NotifyShell(NIM_MODIFY) || NotifyShell(NIM_ADD)) {
        StopIconRetries();
        return;
    }
    if (--g_tray.cIconRetriesLeft == 0 && g_tray.hTrayWnd)
        KillTimer(g_tray.hTrayWnd, KIV_TRAY_ICON_TIMER_ID);
}

void DeleteTrayIcon(void)
{
    StopIconRetries();
    if (!g_tray.bIconRecordReady)
        return;
    Shell_NotifyIconA(NIM_DELETE, &g_tray.nid);
    if (g_tray.nid.hIcon)
        DestroyIcon(g_tray.nid.hIcon);
    g_tray.nid.hIcon = NULL;
    g_tray.bIconRecordReady = 0;
}
