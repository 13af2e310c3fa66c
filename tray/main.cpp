/*
 * kivtray: the tray utility.  Keeps an icon for the Kiv Image Printer in
 * the notification area; a double-click opens the printer driver's
 * settings sheet and stores what the user confirms as the printer's
 * defaults, the right button opens a menu with help, the home page,
 * autostart and exit.  One copy runs at a time; another program ends it by
 * posting the registered message "KivPrinterTrayMsg30".
 *
 * The program takes no arguments.
 */
#include "kivtray.h"
#include <objbase.h>

#ifndef MSGFLT_ADD
#define MSGFLT_ADD 1
#endif
typedef BOOL(WINAPI *CHANGEWINDOWMESSAGEFILTERPROC)(UINT, DWORD);

/* An elevated tray on Vista and later gets no message from the ordinary
 * Explorer unless it lets it in, and would never learn of a new task bar.
 * Windows 2000 and XP have no such filter, nor the function. */
static void AllowTaskbarCreated(UINT uMsg)
{
    CHANGEWINDOWMESSAGEFILTERPROC pfnChangeFilter;
    HMODULE hUser32 = GetModuleHandleA("user32.dll");

    if (!hUser32 || !uMsg)
        return;
    pfnChangeFilter = (CHANGEWINDOWMESSAGEFILTERPROC)(void (*)(void))GetProcAddress(hUser32,
                                                                                  "ChangeWindowMessageFilter");
    if (pfnChangeFilter)
        pfnChangeFilter(uMsg, MSGFLT_ADD);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    MSG msg;
    BOOL bGot;
    int exitCode = 0;
    HRESULT hrCom = E_FAIL;

    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nShowCmd;

    /* Another copy runs: end at once, without window or icon. */
    if (CreateTrayMutexNullDacl())
        return 0;

    /* Without a window nothing could ever end the message loop. */
    if (!CreateTrayWindow(hInstance))
        goto Exit;

    g_tray.uQuitMsg = RegisterWindowMessageA(KIV_TRAY_QUIT_MSG_NAME_A);
    g_tray.uTaskbarCreatedMsg = RegisterWindowMessageA(KIV_TASKBAR_CREATED_MSG_A);
    AllowTaskbarCreated(g_tray.uTaskbarCreatedMsg);
    /* ShellExecuteA (help, home page) may hand the file to a handler that
     * uses COM, so the thread is a single-threaded apartment, as its
     * documentation asks. */
    hrCom = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    /* The library is needed only while the icon is made. */
    if (!g_tray.hResLib)
        g_tray.hResLib = LaunchQPrinterDLL(KIV_TRAY_RES_LIBRARY_A);
    AddTrayIcon();
    if (g_tray.hResLib) {
        FreeLibrary(g_tray.hResLib);
        g_tray.hResLib = NULL;
    }

    /* Messages for every window of the thread.  The quit message ends the
     * tray whatever window and parameters it carries: posted to the
     * window, broadcast to all top-level windows, or posted to the thread
     * with no window at all.  GetMessageA gives -1 only for a bad window
     * filter, which this loop never passes; it ends the loop all the same. */
    ZeroMemory(&msg, sizeof(msg));
    while ((bGot = GetMessageA(&msg, NULL, 0, 0)) != 0) {
        if (bGot == -1)
            break;
        if (g_tray.uQuitMsg != 0 && msg.message == g_tray.uQuitMsg) {
            if (g_tray.hTrayWnd)
                DestroyWindow(g_tray.hTrayWnd);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (bGot == 0)
        exitCode = (int)msg.wParam;

    DeleteTrayIcon();
    if (SUCCEEDED(hrCom))
        CoUninitialize();

Exit:
    ReleaseTrayMutex();
    return exitCode;
}
