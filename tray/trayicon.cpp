/*
 * The notification icon.  The shell keeps icons per window and
 * identifier, so one record, filled once at start, serves to add the icon,
 * to add it again and to delete it.
 */
#include "kivtray.h"

static const char g_szTip[] = KIV_PRINTER_NAME_A;

static_assert(sizeof(void *) != 4 || KIV_NOTIFYICONDATAA_V1_SIZE == 88,
              "the first form of NOTIFYICONDATAA is 88 bytes in 32-bit code");

/* Fills the record and adds the icon.  The image comes from the resource
 * library when it is loaded; without it the icon is added without an
 * image.  LoadImageA makes its own copy of the icon, so the image stays
 * valid after the library is freed again. */
void AddTrayIcon(void)
{
    ZeroMemory(&g_tray.nid, sizeof(g_tray.nid));
    g_tray.nid.cbSize = KIV_NOTIFYICONDATAA_V1_SIZE;
    g_tray.nid.hWnd = g_tray.hTrayWnd;
    g_tray.nid.uID = KIV_TRAY_ICON_UID;
    g_tray.nid.uFlags = KIV_TRAY_ICON_FLAGS;
    g_tray.nid.uCallbackMessage = WM_TRAY_NOTIFY;
    if (g_tray.hResLib)
        g_tray.nid.hIcon = (HICON)LoadImageA(g_tray.hResLib, MAKEINTRESOURCEA(IDI_KIVTRAY), IMAGE_ICON,
                                             KIV_TRAY_ICON_SIZE, KIV_TRAY_ICON_SIZE, LR_DEFAULTCOLOR);
    /* The first form of the record has room for 64 characters of tip. */
    CopyText(g_tray.nid.szTip, 64, g_szTip);
    g_tray.bIconRecordReady = 1;
    Shell_NotifyIconA(NIM_ADD, &g_tray.nid);
}

/* A new task bar (Explorer restarted, or started after the tray) knows no
 * icons: without this the user would lose the only way to reach a tray
 * that goes on running. */
void AddTrayIconAgain(void)
{
    if (g_tray.bIconRecordReady)
        Shell_NotifyIconA(NIM_ADD, &g_tray.nid);
}

void DeleteTrayIcon(void)
{
    if (!g_tray.bIconRecordReady)
        return;
    Shell_NotifyIconA(NIM_DELETE, &g_tray.nid);
    if (g_tray.nid.hIcon)
        DestroyIcon(g_tray.nid.hIcon);
    g_tray.nid.hIcon = NULL;
    g_tray.bIconRecordReady = 0;
}
