/*
 * The progress window: dialog 102, shown while the installation runs so
 * that the user sees setup is busy.
 */
#include "setupsteps.h"

/* The progress window only shows that setup is busy: it handles nothing,
 * and setup destroys it when the installation is over. */
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    (void)hDlg;
    (void)wParam;
    (void)lParam;
    return uMsg == WM_INITDIALOG ? TRUE : FALSE;
}

/* Shows the progress window, painted once: no message loop runs while the
 * installation works.  NULL when it is switched off or cannot be made. */
HWND ShowProgressWindow(HINSTANCE hInstance)
{
    HWND hDlg;

    if (!QprinterSetUpCfg.bStatusDlgBox)
        return NULL;
    hDlg = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(IDD_KIV_PROGRESS), GetForegroundWindow(),
                              ProgressDlgProc, 0);
    if (!hDlg)
        return NULL;
    ShowWindow(hDlg, SW_SHOWNORMAL);
    UpdateWindow(hDlg);
    return hDlg;
}
