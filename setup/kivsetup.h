/*
 * kivsetup: the setup program that installs the Kiv Image Printer.
 *
 * One header for the program's own operations, shared by its source files
 * and by the tests that drive some of them in-process (the options reader,
 * the spooler service control).  The program runs on one thread and has no
 * state beyond the options record and the remembered signing policy.
 */
#ifndef KIV_KIVSETUP_H
#define KIV_KIVSETUP_H

#include <windows.h>

/* Caption of every message setup shows that is not an error of a step. */
#define KIV_SETUP_CAPTION       L"Kiv Image Printer Setup"
/* The setup options file, read from the current folder. */
#define KIV_SETUP_OPTIONS_FILE  "qprinter.ini"
/* Dialog resource of the progress window (kivsetup.rc). */
#define IDD_KIV_PROGRESS        102

/* Install results of InstallPrinter. */
#define KIV_INSTALL_DONE         1
#define KIV_INSTALL_SPOOL_FAILED 0
#define KIV_INSTALL_FILE_FAILED  (-1)

/* Exit codes of an unattended installation (/quiet); a run with its
 * dialogs exits with 0 whatever happened, as it always has.  The removal
 * has codes of its own (below). */
#define KIV_SETUP_EXIT_DONE          0
#define KIV_SETUP_EXIT_SPOOL_FAILED  1   /* a spooler step failed */
#define KIV_SETUP_EXIT_FILE_FAILED   2   /* a file step failed */
#define KIV_SETUP_EXIT_WRONG_WINDOWS 3   /* older than Windows 2000 */
#define KIV_SETUP_EXIT_NEEDS_X64     4   /* the x86 setup on 64-bit Windows */
/* Installed, but a file in use was replaced only under a new name: the
 * old one goes, and the new one is loaded, when Windows restarts (what
 * deployment tools read as "done, restart to finish"). */
#define KIV_SETUP_EXIT_RESTART       3010

/* The command line (cmdline.cpp), one record for the process. */
typedef struct {
    int bUninstall;   /* /uninstall: remove the product */
    int bQuiet;       /* /quiet: no window at all */
    int bPackage;     /* /package: a Windows Installer package keeps the entry */
    int bTrayAutostart;   /* /trayautostart: the tray's machine-wide autostart value was set */
    int bRollback;    /* /rollback: only undo a removal or installation that completed */
    int bAllUsers;    /* /allusers: removal deletes the autostart values of every loaded user */
    WCHAR szLogPath[MAX_PATH];   /* /log FILE: the trace lines go there too; empty: none */
} SETUPCOMMANDLINE;

extern SETUPCOMMANDLINE SetupCommandLine;
void ReadSetupCommandLine(const char *pszCmdLine);

/* Modes of SetDriverSigningPolicy. */
#define KIV_POLICY_CLEAR   1
#define KIV_POLICY_RESTORE 2

/* The setup options, one record for the process; each flag is on when
 * nonzero. */
typedef struct {
    int bFirstMsgBoxPrompt;  /* ask for consent before anything changes */
    int bFinalDlgBoxPrompt;  /* show the success message */
    int bStatusDlgBox;       /* show the progress window while installing */
} QPRINTERSETUPCFG;

extern QPRINTERSETUPCFG QprinterSetUpCfg;

/* options.cpp */
void ReadSetupOptions(const char *pszPath);
void BlankKeyPart(char *pszLine);

/* signing.cpp */
void SetDriverSigningPolicy(int mode);

/* texts.cpp: the log of /log FILE, opened for the whole run. */
void OpenSetupLog(const char *pszCmdLine);
void CloseSetupLog(void);

/* install.cpp */
int InstallPrinter(void);

/* filesteps.cpp */
void TerminateRunningPrograms(void);
void DeleteRunValue(const char *pszValueName);

/* spoolsteps.cpp */
/* What the port list tells of the port "kiv". */
#define KIV_PORT_MISSING 0
#define KIV_PORT_PRESENT 1
#define KIV_PORT_UNKNOWN 2   /* the list cannot be read */
int LocalPortState(void);
/* The port is known to be there (a list that cannot be read: no). */
BOOL LocalPortExists(void);

/* forms.cpp */
int AddPaperForms(void);

/* service.cpp */
int StopSpoolerService(void);
int StartSpoolerService(void);

/* uninstall.cpp: "kivsetup /uninstall [/quiet]" removes the product.
 * Exit codes of the removal. */
#define KIV_UNINSTALL_ALL_GONE   0
#define KIV_UNINSTALL_SOME_LEFT  1
int UninstallProduct(int bQuiet);

/* The parts of an installation, as bits: what FindProductParts finds on
 * the machine, and what UndoInstallation removes. */
#define KIV_PART_DRIVER  1   /* the driver of this build's environment, with its printers */
#define KIV_PART_PORT    2   /* the port "kiv" */
#define KIV_PART_FILES   4   /* the program files, the install folder among them */
#define KIV_PART_ALL     (KIV_PART_DRIVER | KIV_PART_PORT | KIV_PART_FILES)
DWORD FindProductParts(void);
/* Removes the parts with the removal's own steps, without a window; what
 * stays is written to the debugger output stream. */
void UndoInstallation(DWORD dwParts);

/* progress.cpp */
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

#endif /* KIV_KIVSETUP_H */
