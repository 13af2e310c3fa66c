/*
 * The installation sequence's own tables and steps, shared between the
 * source files of the setup program.  Nothing here is meant for callers
 * outside the program: InstallPrinter (kivsetup.h) is the one entry.
 */
#ifndef KIV_SETUPSTEPS_H
#define KIV_SETUPSTEPS_H

#include "kivsetup.h"
#include "kivpath.h"      /* KIV_PATH_UNITS: every path buffer, the system's limit */
#include "kivproduct.h"   /* the printer's name and the home page, shared with the tray */
#include "kivarch.h"      /* the driver environment of this build */

/* ---- Fixed names ------------------------------------------------------ */

/* The printer's name (KIV_PRINTER_NAME_W) is also its driver's name.  The
 * driver is installed for the environment of setup's own build: "Windows
 * NT x86" or "Windows x64". */
#define KIV_PRINTER_ENV       KIV_DRIVER_ENVIRONMENT
#define KIV_PORT_NAME         L"kiv"
#define KIV_PRINT_PROCESSOR   L"WinPrint"
#define KIV_DATATYPE          L"RAW"
#define KIV_XCV_LOCAL_PORT    L",XcvMonitor Local Port"
#define KIV_XCV_ADD_PORT      L"AddPort"
#define KIV_RUN_KEY_A         "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define KIV_RUN_VALUE_TRAY    "kivtray"
#define KIV_RUN_VALUE_AGENT   "kivprt"
#define KIV_TRAY_PROGRAM      L"kivtray.exe"

/* Room of a file name in the file tables. */
#define KIV_FILE_NAME_UNITS   40

/* ---- Trace lines (debugger output stream, ANSI) ----------------------- */

#define KIV_TRACE_STARTS         "Kiv Image Printer(starts)"
#define KIV_TRACE_DELETE_KEY     "Kiv Image Printer(delete key)"
#define KIV_TRACE_DELETE_PRINTER "Kiv Image Printer(delete old printer)"
#define KIV_TRACE_ADD_DRIVER     "Kiv Image Printer(add driver)"
#define KIV_TRACE_ADD_PORT       "Kiv Image Printer(add port)"
#define KIV_TRACE_ADD_PRINTER    "Kiv Image Printer(add printer)"
#define KIV_TRACE_ADD_FORMS      "Kiv Image Printer(add forms)"
#define KIV_TRACE_FINISHED       "Kiv Image Printer setup finished"
/* An unattended installation that failed removes what it made. */
#define KIV_TRACE_UNDO           "Kiv Image Printer(undo)"
/* A package's rollback that finds no completed run to undo. */
#define KIV_TRACE_NO_ROLLBACK    "Kiv Image Printer(rollback: nothing completed to undo)"

/* ---- Messages (texts.cpp) --------------------------------------------- */

typedef enum {
    KIV_MSG_WRONG_WINDOWS,
    KIV_MSG_NEEDS_X64_SETUP,
    KIV_MSG_CONSENT,
    KIV_MSG_CANCELLED,
    KIV_MSG_SPOOL_FAILED,
    KIV_MSG_SUCCESS,
    KIV_MSG_FILES_FAILED,
    KIV_MSG_OLD_PRINTER_STAYS,
    KIV_MSG_DRIVER_SOURCE_MISSING,
    KIV_MSG_DRIVER_COPY_FAILED,
    KIV_MSG_SOURCE_MISSING,
    KIV_MSG_TARGET_IN_USE,
    KIV_MSG_COPY_FAILED,
    KIV_MSG_FOLDER_FAILED,
    KIV_MSG_ADD_DRIVER_FAILED,
    KIV_MSG_XCV_OPEN_FAILED,
    KIV_MSG_ADD_PORT_FAILED,
    KIV_MSG_ADD_PRINTER_FAILED,
    KIV_MSG_DRIVER_FOLDER_UNKNOWN,
    KIV_MSG_SYSTEM_FOLDER_UNKNOWN,
    /* The removal (uninstall.cpp): its question and the first line of
     * its closing message. */
    KIV_MSG_UNINSTALL_CONSENT,
    KIV_MSG_UNINSTALL_DONE,
    KIV_MSG_UNINSTALL_INCOMPLETE,
    KIV_MSG_UNINSTALL_NOTHING,
    KIV_MSG_COUNT
} KIVSETUPMSG;

typedef struct {
    const WCHAR *pszText;     /* wsprintfW template: %s for names and paths */
    const WCHAR *pszCaption;
} SETUPMESSAGE;

extern const SETUPMESSAGE g_aSetupMessages[KIV_MSG_COUNT];

/* What the removal's closing message holds after its first line: list
 * headings, one template per item (also the text of a trace line), and
 * notes; wsprintfW templates. */
typedef enum {
    KIV_UPART_REMOVED,
    KIV_UPART_NOT_REMOVED,
    KIV_UPART_SETTINGS_KEPT,
    KIV_UPART_FOLDER_KEPT,
    KIV_UPART_FOLDER_LATER,
    KIV_UPART_SELF,
    KIV_UPART_PORT_USED,
    KIV_UPART_PRINTER,
    KIV_UPART_DRIVER,
    KIV_UPART_PORT,
    KIV_UPART_FORMS,
    KIV_UPART_FORM,
    KIV_UPART_FILE,
    KIV_UPART_FOLDER,
    KIV_UPART_RUN_VALUE,
    KIV_UPART_ENTRY,
    KIV_UPART_ERROR,
    KIV_UPART_AT_RESTART,
    KIV_UPART_ENTRY_KEPT,
    KIV_UPART_COUNT
} KIVUNINSTALLPART;

extern const WCHAR *const g_apszUninstallParts[KIV_UPART_COUNT];

/* Room of a formatted message.  wsprintfW never writes more than 1024
 * units, and every template with the longest names and paths filled in
 * stays below that (checked in texts.cpp), so no message is ever cut. */
#define KIV_MESSAGE_UNITS 1024

/* Shows a message without an owner window, MB_OK and no icon; the %s
 * places are filled with the WCHAR strings that follow. */
void ShowSetupMessage(KIVSETUPMSG id, ...);
/* Asks the consent question (Yes and No, question-mark icon); returns the
 * button pressed. */
int AskSetupQuestion(KIVSETUPMSG id);
/* Writes one trace line to the debugger output stream. */
void TraceSetup(const char *pszLine);
/* Writes "Kiv Image Printer(<label>: <text>)" to the debugger output
 * stream; a text of up to KIV_MESSAGE_UNITS is never cut. */
void TraceLabelled(const WCHAR *pszLabel, const WCHAR *pszText);

/* ---- The progress window (progress.cpp) -------------------------------- */

HWND ShowProgressWindow(HINSTANCE hInstance);

/* ---- File tables (filesteps.cpp) -------------------------------------- */

typedef struct {
    WCHAR szFileName[KIV_FILE_NAME_UNITS];
    int bCopyIfMissing;       /* 0: always replace; 1: copy only when absent */
} DRIVERFILEENTRY;

#define KIV_DRIVER_FILE_COUNT  9
#define KIV_OWN_DRIVER_FILE_COUNT 4
#define KIV_SYSTEM_FILE_COUNT  1
#define KIV_INSTALL_FILE_COUNT 4

extern const DRIVERFILEENTRY g_aDriverFiles[KIV_DRIVER_FILE_COUNT];
extern const WCHAR *const g_apszOwnDriverFiles[KIV_OWN_DRIVER_FILE_COUNT];
extern const WCHAR *const g_apszSystemFiles[KIV_SYSTEM_FILE_COUNT];
extern const WCHAR *const g_apszInstallFiles[KIV_INSTALL_FILE_COUNT];

/* The steps that can stop the sequence return 1 to go on and 0 when they
 * failed; they have shown their message then. */
int CheckSourceFiles(void);
int CopyDriverFiles(const WCHAR *pszDriverDir);
int CopySetupFiles(const WCHAR *const *apszNames, int cNames, const WCHAR *pszFolder);
int PrepareInstallFolder(WCHAR *pszInstallDir);   /* KIV_INSTALL_FOLDER_UNITS */
void RemoveStagedDriverFiles(const WCHAR *pszDriverDir);
/* What PutAsideForRestart did with a file that is in use. */
typedef enum {
    KIV_ASIDE_FAILED,     /* nothing: the file stays */
    KIV_ASIDE_RENAMED,    /* renamed within its folder and listed: its name is free */
    KIV_ASIDE_IN_PLACE    /* listed under its own name, which stays taken until then */
} KIVASIDE;
/* Has a file in use deleted when Windows restarts (see filesteps.cpp);
 * bInPlaceToo: listed by its own name where it cannot be renamed. */
KIVASIDE PutAsideForRestart(const WCHAR *pszPath, int bInPlaceToo);
/* 1 once this run left anything for the restart. */
int IsRestartPending(void);

/* ---- Marks of the last run, for a package (runmark.cpp, runmark.h) ----- */

/* 1 when the last run that completed was of this kind: an installation
 * (bRemoval 0) or a removal (1). */
int IsLastRun(int bRemoval);
/* At a run's start: a mark of its own kind no longer speaks for it. */
void WithdrawRunMark(int bRemoval);
/* At a run's end: its kind when it completed, and whether a restart is
 * pending. */
void WriteRunMarks(int bRemoval, int bCompleted);

/* Room of a program's command line: its path in quotes and a switch. */
#define KIV_COMMAND_UNITS (KIV_PATH_UNITS + 16)
/* "\"<folder><program>\"<args>" into pszCommand (KIV_COMMAND_UNITS): 1, or
 * 0 when it does not fit. */
int BuildProgramCommand(const WCHAR *pszFolder, const WCHAR *pszProgram, const WCHAR *pszArgs,
                        WCHAR *pszCommand);
/* A machine-wide autostart value (name in UTF-16) naming the program of
 * the install folder, quoted, and its arguments. */
void WriteRunValue(const WCHAR *pszValueName, const WCHAR *pszInstallDir, const WCHAR *pszProgram,
                   const WCHAR *pszArgs);
/* 1 when the machine-wide autostart value exists. */
int RunValueExists(const char *pszValueName);
/* Deletes a file unless it lies in setup's own folder (below). */
void DeleteFileIfPresent(const WCHAR *pszPath);
/* 1 when the path names a file in setup's current folder, where its
 * sources are, or when that cannot be told: such a file is never deleted
 * or replaced. */
int IsInSetupFolder(const WCHAR *pszPath);

/* ---- Paper forms (forms.cpp) -------------------------------------------- */

/* Form names are at most 49 characters. */
#define KIV_FORM_NAME_UNITS   50
#define KIV_PAPER_FORM_COUNT  16

typedef struct {
    WCHAR szFormName[KIV_FORM_NAME_UNITS];
    int nWidthMm;
    int nHeightMm;
} PAPERFORMENTRY;

/* The forms setup adds, and the only ones the removal deletes. */
extern const PAPERFORMENTRY g_aPaperForms[KIV_PAPER_FORM_COUNT];

/* The forms of the table that installations added themselves, as bit i
 * for row i: recorded in the product's key, since the print server keeps
 * no count of a form's users. */
DWORD ReadAddedFormsRecord(void);

/* ---- Add or Remove Programs (arp.cpp) ----------------------------------- */

/* The copy of setup in the install folder that removes the product. */
#define KIV_SETUP_PROGRAM     L"kivsetup.exe"
#define KIV_UNINSTALL_KEY     L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KivImagePrinter30"
/* The product's own key, which a package's installation has as well: the
 * record of the forms the installations added. */
#define KIV_PRODUCT_KEY       L"Software\\KivImagePrinter30"

/* Copies setup into the install folder (with its trailing backslash) and
 * registers it there as the product's uninstaller; silent. */
void RegisterUninstaller(const WCHAR *pszInstallDir);
/* Removes the entry and the copy of setup an earlier installation left,
 * for an installation that a Windows Installer package owns, and marks it
 * as the package's; silent. */
void UnregisterUninstaller(const WCHAR *pszInstallDir);
/* 1 when a package's installation is there (the mark above). */
int IsInstalledByPackage(void);

/* ---- Spooler steps (spoolsteps.cpp) ------------------------------------ */

/*
 * One of the spooler's lists at the given level, in a zero-filled block
 * that the caller frees with free(), or NULL when the spooler cannot give
 * it (*pdwError, when not NULL, then tells why).  Asked for its size
 * first: a fixed block would make a busy machine look empty.  An empty
 * list comes back as a block with no entries.
 */
typedef enum {
    KIV_LIST_PRINTERS,   /* local printers */
    KIV_LIST_DRIVERS,    /* drivers of this build's environment */
    KIV_LIST_ALL_DRIVERS, /* drivers of every environment */
    KIV_LIST_PORTS
} KIVSPOOLLIST;
BYTE *EnumSpoolerList(KIVSPOOLLIST list, DWORD dwLevel, DWORD *pcEntries, DWORD *pdwError);

int HasKivPrinterWords(const WCHAR *pszName);
void DeleteEarlierPrinter(void);
void DeleteEarlierDriverFiles(void);
/* Flags of the folders ReadInstallFolders could read. */
#define KIV_FOLDER_DRIVER_READ 1
#define KIV_FOLDER_SYSTEM_READ 2
int ReadInstallFolders(WCHAR *pszDriverDir, WCHAR *pszSystemDir);
int RegisterPrinterDriver(void);
int AddKivPort(void);
int CreateKivPrinter(void);
int ConfirmPrinterAndAddForms(void);

#endif /* KIV_SETUPSTEPS_H */
