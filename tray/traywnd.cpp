/*
 * The tray's hidden window: target of the icon's notifications, owner of
 * the menu and of the settings sheet.  The menu and the sheet run modal
 * loops of the system inside this window procedure, so it is entered again
 * while either is open; each has a flag that guards it against itself
 * only, so Exit still works while the sheet is open.
 */
#include "kivtray.h"

TRAYSTATE g_tray;

static const char g_szAutoLaunchItem[] = "Autolaunch whenever Windows starts up";
static const char g_szAutoLaunchQuestion[] =
    "Want to automatically run this Kiv Image Printer configuration utility whenever Windows starts up?";
static const char g_szAutoLaunchCaption[] = "Confirmation";

int CreateTrayWindow(HINSTANCE hInstance)
{
    WNDCLASSEXA wc;

    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = TrayWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = NULL;
    wc.lpszClassName = KIV_TRAY_CLASS_NAME_A;
    wc.hIconSm = LoadIconA(NULL, IDI_APPLICATION);
    /* A failed registration shows in the window creation below. */
    RegisterClassExA(&wc);

    g_tray.hTrayWnd = CreateWindowExA(0, KIV_TRAY_CLASS_NAME_A, KIV_PRINTER_NAME_A, WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                      NULL, NULL, hInstance, NULL);
    if (!g_tray.hTrayWnd)
        return 0;
    ShowWindow(g_tray.hTrayWnd, SW_HIDE);
    UpdateWindow(g_tray.hTrayWnd);
    return 1;
}

static void OfferAutoLaunch(HWND hWnd)
{
    if (MessageBoxA(hWnd, g_szAutoLaunchQuestion, g_szAutoLaunchCaption, MB_YESNO) == IDYES)
        AddToAutoRun(KIV_TRAY_RUN_VALUE_A);
}

static void RunTrayCommand(HWND hWnd, WORD wId)
{
    switch (wId) {
    case IDM_HELP:
        KivImagePrinterHelp();
        break;
    case IDM_EXIT:
        /* WM_DESTROY then ends the message loop. */
        DestroyWindow(hWnd);
        break;
    case IDM_AUTOLAUNCH:
        OfferAutoLaunch(hWnd);
        break;
    case IDM_HOMEPAGE:
        KivImagePrinterHomepage();
        break;
    default:
        break;
    }
}

static void OnIconDoubleClick(HWND hWnd)
{
    HWND hSheet;

    /* The open sheet may lie hidden behind other windows: the click
     * brings it, or the message it shows, to the front. */
    if (g_tray.bIsPrtDlgRun) {
        hSheet = GetLastActivePopup(hWnd);
        if (hSheet && hSheet != hWnd)
            SetForegroundWindow(hSheet);
        return;
    }
    g_tray.bIsPrtDlgRun = 1;
    ShowPrintDialog(hWnd);
    g_tray.bIsPrtDlgRun = 0;
}

/* The menu is built afresh from the library at every press, so the
 * autostart item is offered exactly while the Run value does not name the
 * running program. */
static void OnIconRightButton(HWND hWnd)
{
    HMENU hMenu = NULL;
    HMENU hPopup = NULL;
    POINT pt;

    if (g_tray.bIsMenuRun)
        return;
    g_tray.bIsMenuRun = 1;
    if (!g_tray.hResLib)
        g_tray.hResLib = LaunchQPrinterDLL(KIV_TRAY_RES_LIBRARY_A);
    /* Without the library there is no menu to show. */
    if (g_tray.hResLib)
        hMenu = LoadMenuA(g_tray.hResLib, MAKEINTRESOURCEA(IDR_KIVTRAYMENU));
    if (hMenu)
        hPopup = GetSubMenu(hMenu, 0);
    if (hPopup) {
        if (!IsInAutoRun(KIV_TRAY_RUN_VALUE_A))
            AppendMenuA(hPopup, MF_STRING, IDM_AUTOLAUNCH, g_szAutoLaunchItem);
        /* A pop-up menu of a window that is not in the foreground does not
         * close when the user clicks elsewhere. */
        SetForegroundWindow(hWnd);
        pt.x = 0;
        pt.y = 0;
        GetCursorPos(&pt);
        TrackPopupMenu(hPopup, TPM_RIGHTALIGN, pt.x, pt.y, 0, hWnd, NULL);
        /* ...and the next message must reach the window for a following
         * click on the icon to open the menu again at once. */
        PostMessageA(hWnd, WM_NULL, 0, 0);
    }
    /* Destroys the sub-menus with it. */
    if (hMenu)
        DestroyMenu(hMenu);
    if (g_tray.hResLib) {
        FreeLibrary(g_tray.hResLib);
        g_tray.hResLib = NULL;
    }
    g_tray.bIsMenuRun = 0;
}

/* The quit message "KivPrinterTrayMsg30" is not handled here: only the
 * program's own message loop recognises it.  A quit message sent to the
 * window, or passed on by a modal loop, goes to DefWindowProcA. */
LRESULT CALLBACK TrayWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_DESTROY:
        /* A second quit message must not reach a window handle that the
         * system may have given to another window by then. */
        if (hWnd == g_tray.hTrayWnd)
            g_tray.hTrayWnd = NULL;
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        RunTrayCommand(hWnd, LOWORD(wParam));
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    case WM_TIMER:
        if (wParam == KIV_TRAY_ICON_TIMER_ID) {
            RetryTrayIcon();
            return 0;
        }
        break;
    case WM_TRAY_NOTIFY:
        if (lParam == WM_LBUTTONDBLCLK)
            OnIconDoubleClick(hWnd);
        else if (lParam == WM_RBUTTONDOWN)
            OnIconRightButton(hWnd);
        return 0;
    default:
        break;
    }
    if (uMsg != 0 && uMsg == g_tray.uTaskbarCreatedMsg) {
        AddTrayIconAgain();
        return 0;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}
