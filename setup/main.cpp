/*
 * kivsetup: installs the Kiv Image Printer from the folder it is started
 * in.  No arguments, no main window: a consent question, a progress
 * window while the installation runs, and one closing message.  The exit
 * code is always 0; the outcome is what the user is shown, and the last
 * trace line on the debugger output stream.
 *
 * "kivsetup /uninstall" removes the product instead (uninstall.cpp).
 */
#include "setupsteps.h"

/* Windows 2000 is 5.0, XP 5.1; NT 4.0 has no Universal Printer Driver. */
#define KIV_FIRST_MAJOR_VERSION 5

static void ShowOutcome(int result)
{
    switch (result) {
    case KIV_INSTALL_SPOOL_FAILED:
        ShowSetupMessage(KIV_MSG_SPOOL_FAILED);
        break;
    case KIV_INSTALL_DONE:
        if (QprinterSetUpCfg.bFinalDlgBoxPrompt)
            ShowSetupMessage(KIV_MSG_SUCCESS);
        TraceSetup(KIV_TRACE_FINISHED);
        break;
    default:
        ShowSetupMessage(KIV_MSG_FILES_FAILED);
        break;
    }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    OSVERSIONINFOW version;
    HWND hProgress = NULL;
    int bWindows2000;
    int bQuiet = 0;
    int result;

    (void)hPrevInstance;
    (void)nShowCmd;

    /* Removal is the one thing the command line asks for; any other
     * command line installs, as if there were none. */
    if (IsUninstallCommand(lpCmdLine, &bQuiet))
        return UninstallProduct(bQuiet);

    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    if (version.dwMajorVersion < KIV_FIRST_MAJOR_VERSION) {
        ShowSetupMessage(KIV_MSG_WRONG_WINDOWS);
        return 0;
    }

    ReadSetupOptions(KIV_SETUP_OPTIONS_FILE);
    /* Only Windows 2000 keeps the signing policy where setup can relax it.
     * A minor version of 0 alone would take Vista (6.0) for it too. */
    bWindows2000 = version.dwMajorVersion == 5 && version.dwMinorVersion == 0;

    if (QprinterSetUpCfg.bFirstMsgBoxPrompt && AskSetupQuestion(KIV_MSG_CONSENT) != IDYES) {
        ShowSetupMessage(KIV_MSG_CANCELLED);
        return 0;
    }

    if (bWindows2000)
        SetDriverSigningPolicy(KIV_POLICY_CLEAR);
    hProgress = ShowProgressWindow(hInstance);

    result = InstallPrinter();

    if (hProgress)
        DestroyWindow(hProgress);
    if (bWindows2000)
        SetDriverSigningPolicy(KIV_POLICY_RESTORE);

    ShowOutcome(result);
    return 0;
}
