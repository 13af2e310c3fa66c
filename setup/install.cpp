/*
 * InstallPrinter: the whole installation, step after step.  A step that
 * fails shows its own message and ends the sequence; nothing done before
 * it is undone, so that a second run starts from what is there.  Missing
 * sources are looked for first, before anything is changed.
 */
#include "setupsteps.h"

int InstallPrinter(void)
{
    WCHAR szDriverDir[KIV_PATH_UNITS];
    WCHAR szSystemDir[KIV_PATH_UNITS];
    WCHAR szInstallDir[KIV_INSTALL_FOLDER_UNITS];
    int foldersRead;

    TraceSetup(KIV_TRACE_STARTS);

    /* Nothing is changed before every source is known to be there: an
     * installation that cannot be completed must not break the one the
     * machine has. */
    if (!CheckSourceFiles())
        return KIV_INSTALL_FILE_FAILED;

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
    foldersRead = ReadInstallFolders(szDriverDir, szSystemDir);
    if (!(foldersRead & KIV_FOLDER_DRIVER_READ)) {
        ShowSetupMessage(KIV_MSG_DRIVER_FOLDER_UNKNOWN);
        return KIV_INSTALL_FILE_FAILED;
    }
    if (!CopyDriverFiles(szDriverDir))
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

    if (!RegisterPrinterDriver())
        return KIV_INSTALL_SPOOL_FAILED;
    if (!AddKivPort())
        return KIV_INSTALL_SPOOL_FAILED;
    if (!CreateKivPrinter())
        return KIV_INSTALL_SPOOL_FAILED;

    RemoveStagedDriverFiles(szDriverDir);
    int result = ConfirmPrinterAndAddForms();
    /* Only a complete installation is offered for removal in Add or
     * Remove Programs; a failed one is removed from the setup folder. */
    if (result == KIV_INSTALL_DONE)
        RegisterUninstaller(szInstallDir);
    return result;
}
