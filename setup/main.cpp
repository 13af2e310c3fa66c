/*
 * kivsetup: installs the Kiv Image Printer from the folder it is started
 * in.  No main window: a consent question, a progress window while the
 * installation runs, and one closing message; qprinter.ini can switch each
 * of them off.  Such a run's exit code is always 0; the outcome is what the
 * user is shown, and the last trace line on the debugger output stream.
 *
 * The command line (cmdline.cpp) asks for other runs:
 *
 *   kivsetup /quiet             installs without any window, whatever
 *                               qprinter.ini says; each failure goes to the
 *                               debugger output stream, a failed
 *                               installation removes what it made, and the
 *                               exit code tells the outcome
 *                               (KIV_SETUP_EXIT_*, kivsetup.h)
 *   kivsetup /quiet /package    the same, run by a Windows Installer
 *                               package: no entry in Add or Remove Programs
 *                               and no copy of setup in the install folder
 *   kivsetup /uninstall [/quiet]  removes the product (uninstall.cpp)
 *
 * Each run leaves its marks for the package (runmark.h).
 */
#include "setupsteps.h"

/* Windows 2000 is 5.0, XP 5.1; NT 4.0 has no Universal Printer Driver. */
#define KIV_FIRST_MAJOR_VERSION 5

typedef BOOL(WINAPI *ISWOW64PROCESSPROC)(HANDLE, PBOOL);

/*
 * True when this is 32-bit code on 64-bit Windows.  There the x86 setup
 * would install a driver the 64-bit spooler cannot create a printer with
 * (AddPrinterW fails with 1797), after it has placed the programs in the
 * 32-bit Program Files and the image library in the 32-bit system folder,
 * where the x64 product's removal never looks.  Windows 2000 (and XP
 * before its second service pack) has no IsWow64Process, so it is looked
 * up; where it is missing there is no WOW64.  A 64-bit process is never
 * under WOW64: the x64 build always goes on.
 */
static int IsRunningUnderWow64(void)
{
    ISWOW64PROCESSPROC pfnIsWow64Process;
    HMODULE hKernel32;
    BOOL bWow64 = FALSE;

    hKernel32 = GetModuleHandleW(L"kernel32.dll");
    if (!hKernel32)
        return 0;
    pfnIsWow64Process = (ISWOW64PROCESSPROC)(void (*)(void))GetProcAddress(hKernel32, "IsWow64Process");
    if (!pfnIsWow64Process || !pfnIsWow64Process(GetCurrentProcess(), &bWow64))
        return 0;
    return bWow64 != FALSE;
}

/* The exit code of an outcome: the code itself for an unattended run,
 * 0 for one with its dialogs. */
static int SetupExitCode(int code)
{
    return SetupCommandLine.bQuiet ? code : KIV_SETUP_EXIT_DONE;
}

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

/* The installation, from the Windows version check to its outcome;
 * returns the exit code, and whether it completed. */
static int RunInstallation(HINSTANCE hInstance, int *pbCompleted)
{
    OSVERSIONINFOW version;
    HWND hProgress = NULL;
    int bWindows2000;
    int result;

    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    if (version.dwMajorVersion < KIV_FIRST_MAJOR_VERSION) {
        ShowSetupMessage(KIV_MSG_WRONG_WINDOWS);
        return SetupExitCode(KIV_SETUP_EXIT_WRONG_WINDOWS);
    }
    if (IsRunningUnderWow64()) {
        ShowSetupMessage(KIV_MSG_NEEDS_X64_SETUP);
        return SetupExitCode(KIV_SETUP_EXIT_NEEDS_X64);
    }

    ReadSetupOptions(KIV_SETUP_OPTIONS_FILE);
    /* Unattended: no question, no progress window, no success message,
     * whatever the options file says. */
    if (SetupCommandLine.bQuiet) {
        QprinterSetUpCfg.bFirstMsgBoxPrompt = 0;
        QprinterSetUpCfg.bFinalDlgBoxPrompt = 0;
        QprinterSetUpCfg.bStatusDlgBox = 0;
    }
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
    *pbCompleted = result == KIV_INSTALL_DONE;
    switch (result) {
    case KIV_INSTALL_DONE:
        /* Not under a package, for which any code but 0 is a failure. */
        return SetupCommandLine.bQuiet && !SetupCommandLine.bPackage && IsRestartPending() ? KIV_SETUP_EXIT_RESTART
                                                                                          : KIV_SETUP_EXIT_DONE;
    case KIV_INSTALL_SPOOL_FAILED:
        return SetupExitCode(KIV_SETUP_EXIT_SPOOL_FAILED);
    default:
        return SetupExitCode(KIV_SETUP_EXIT_FILE_FAILED);
    }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    int code, bRemoval, bCompleted = 0;

    (void)hPrevInstance;
    (void)nShowCmd;

    ReadSetupCommandLine(lpCmdLine);
    OpenSetupLog(lpCmdLine);
    bRemoval = SetupCommandLine.bUninstall;
    /* A package's rollback undoes only the opposite run, and only when it
     * completed: one that failed has already undone itself. */
    if (SetupCommandLine.bRollback && !IsLastRun(!bRemoval)) {
        TraceSetup(KIV_TRACE_NO_ROLLBACK);
        code = 0;
    } else {
        WithdrawRunMark(bRemoval);
        /* Removal works under WOW64 too, so that what an earlier x86
         * setup left there can be removed. */
        if (bRemoval) {
            code = UninstallProduct(SetupCommandLine.bQuiet);
            bCompleted = code == KIV_UNINSTALL_ALL_GONE;
        } else {
            code = RunInstallation(hInstance, &bCompleted);
        }
        WriteRunMarks(bRemoval, bCompleted);
    }
    CloseSetupLog();
    return code;
}
