/*
 * InstallPrinter: the whole installation, step after step.  A step that
 * fails shows its own message and ends the sequence.  Missing sources are
 * looked for first, before anything is changed.
 *
 * What the steps before a failure did stays, so that a second run starts
 * from what is there, except in an unattended run (/quiet): nobody is
 * there to run setup again, and a deployment that failed must leave the
 * machine as it found it.  Such a run removes what it made with the
 * removal's own steps, and only that: a part of an earlier installation
 * (its driver, the port, the program files) is never removed, as nothing
 * can bring it back.
 */
#include "setupsteps.h"
#include "agentproto.h"     /* the agent's program and switches */

/* The steps after the source check.  pszDriverDir (KIV_PATH_UNITS) gets
 * the printer-driver folder, or stays empty when it cannot be read. */
static int RunInstallSteps(WCHAR *pszDriverDir)
{
    WCHAR szSystemDir[KIV_PATH_UNITS];
    WCHAR szInstallDir[KIV_INSTALL_FOLDER_UNITS];
    /* An administrator's choice to start the tray for every user is kept
     * over an upgrade; a package found it before the earlier release's
     * removal deleted it. */
    int bTrayAutostart = SetupCommandLine.bTrayAutostart || RunValueExists(KIV_RUN_VALUE_TRAY);
    int foldersRead;
    int result;

    /* Running copies would hold their files open, and their autostart
     * values would start the old copies at the next logon. */
    TerminateRunningPrograms();
    DeleteRunValue(KIV_RUN_VALUE_TRAY);
    DeleteRunValue(KIV_RUN_VALUE_AGENT);
    TraceSetup(KIV_TRACE_DELETE_KEY);

    DeleteEarlierPrinter();
    DeleteEarlierDriverFiles();

    /* A folder that cannot be read stops its file step before anything
     * is deleted: a target built from it would be setup's own file. */
    foldersRead = ReadInstallFolders(pszDriverDir, szSystemDir);
    if (!(foldersRead & KIV_FOLDER_DRIVER_READ)) {
        ShowSetupMessage(KIV_MSG_DRIVER_FOLDER_UNKNOWN);
        return KIV_INSTALL_FILE_FAILED;
    }
    if (!CopyDriverFiles(pszDriverDir))
        return KIV_INSTALL_FILE_FAILED;
    if (!(foldersRead & KIV_FOLDER_SYSTEM_READ)) {
        ShowSetupMessage(KIV_MSG_SYSTEM_FOLDER_UNKNOWN);
        return KIV_INSTALL_FILE_FAILED;
    }
    if (!CopySetupFiles(g_apszSystemFiles, KIV_SYSTEM_FILE_COUNT, szSystemDir))
        return KIV_INSTALL_FILE_FAILED;
    if (!PrepareInstallFolder(szInstallDir))
        return KIV_INSTALL_FILE_FAILED;
    if (!CopySetupFiles(g_apszInstallFiles, KIV_INSTALL_FILE_COUNT, szInstallDir))
        return KIV_INSTALL_FILE_FAILED;
    /* No agent writes the machine's value where its user may not. */
    WriteRunValue(L"" KIV_RUN_VALUE_AGENT, szInstallDir, KIV_AGENT_EXE_NAME, KIV_AGENT_START_ARGS);

    if (!RegisterPrinterDriver())
        return KIV_INSTALL_SPOOL_FAILED;
    if (!AddKivPort())
        return KIV_INSTALL_SPOOL_FAILED;
    if (!CreateKivPrinter())
        return KIV_INSTALL_SPOOL_FAILED;

    RemoveStagedDriverFiles(pszDriverDir);
    result = ConfirmPrinterAndAddForms();
    if (result == KIV_INSTALL_DONE && bTrayAutostart)
        WriteRunValue(L"" KIV_RUN_VALUE_TRAY, szInstallDir, KIV_TRAY_PROGRAM, L"");
    /* Only a complete installation is offered for removal in Add or
     * Remove Programs; a failed one is removed from the setup folder.  A
     * package that runs setup, or installed the product before, offers the
     * removal itself. */
    if (result == KIV_INSTALL_DONE && (SetupCommandLine.bPackage || IsInstalledByPackage()))
        UnregisterUninstaller(szInstallDir);
    else if (result == KIV_INSTALL_DONE)
        RegisterUninstaller(szInstallDir);
    return result;
}

int InstallPrinter(void)
{
    WCHAR szDriverDir[KIV_PATH_UNITS];
    DWORD dwPartsBefore;
    int result;

    TraceSetup(KIV_TRACE_STARTS);

    /* Nothing is changed before every source is known to be there: an
     * installation that cannot be completed must not break the one the
     * machine has. */
    if (!CheckSourceFiles())
        return KIV_INSTALL_FILE_FAILED;

    dwPartsBefore = SetupCommandLine.bQuiet ? FindProductParts() : KIV_PART_ALL;
    szDriverDir[0] = L'\0';
    result = RunInstallSteps(szDriverDir);
    if (result != KIV_INSTALL_DONE && SetupCommandLine.bQuiet) {
        TraceSetup(KIV_TRACE_UNDO);
        if (szDriverDir[0])
            RemoveStagedDriverFiles(szDriverDir);
        UndoInstallation(KIV_PART_ALL & ~dwPartsBefore);
    }
    return result;
}
