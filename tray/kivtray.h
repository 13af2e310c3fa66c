/*
 * kivtray, the tray utility: its names, its process-wide state and the
 * operations its source files share.
 *
 * The tray links nothing of the other subsystems.  It takes the product
 * names from the header-only kivproduct.h and uses the ANSI forms of the
 * system calls throughout.
 */
#ifndef KIV_KIVTRAY_H
#define KIV_KIVTRAY_H

#include <windows.h>
#include <shellapi.h>
#include <stddef.h>
#include "kivproduct.h"
#include "trayids.h"

/* ---- Names at the boundary ------------------------------------------ */

#define KIV_TRAY_MUTEX_NAME_A     "KivPrinterTrayMutex30"
#define KIV_TRAY_QUIT_MSG_NAME_A  "KivPrinterTrayMsg30"
/* Broadcast by a new task bar (Explorer restarted): icons must be added
 * again, the old notification area took them with it. */
#define KIV_TASKBAR_CREATED_MSG_A "TaskbarCreated"
#define KIV_TRAY_CLASS_NAME_A     KIV_PRINTER_NAME_A
#define KIV_TRAY_RUN_VALUE_A      "kivtray"
#define KIV_TRAY_RUN_KEY_A        "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
#define KIV_TRAY_RES_LIBRARY_A    "kivres.dll"
#define KIV_INSTALL_FOLDER_NAME_A "KivImagePrinter30"

/* The callback message of the notification icon; lParam holds the mouse
 * message. */
#define WM_TRAY_NOTIFY            (WM_USER + 1)
#define KIV_TRAY_ICON_UID         100
/* The first form of NOTIFYICONDATAA, up to the end of its 64-character
 * tip: every shell since Windows 95 accepts it, and it carries all the
 * tray needs.  88 bytes in the x86 build; the x64 build's handles are 8
 * bytes wide, which makes it 104 there, the size 64-bit Windows expects. */
#define KIV_NOTIFYICONDATAA_V1_SIZE ((DWORD)(offsetof(NOTIFYICONDATAA, szTip) + 64))
#define KIV_TRAY_ICON_FLAGS       (NIF_MESSAGE | NIF_ICON | NIF_TIP)
/* The icon's size where the system gives no small-icon size. */
#define KIV_TRAY_ICON_SIZE        16
/* A refused add is tried again every 3 s for 2 minutes. */
#define KIV_TRAY_ICON_TIMER_ID    1
#define KIV_TRAY_ICON_RETRY_MS    3000
#define KIV_TRAY_ICON_RETRIES     40

/* ---- Fixed buffers ---------------------------------------------------- */

#define KIV_LOOKUP_PATH_UNITS     264  /* a path built for a file lookup */
#define KIV_SYSTEM_DIR_UNITS      260  /* room given for the system folder */
#define KIV_MODULE_PATH_UNITS     256  /* own path and the autostart value */
/* Printer names: room for the longest name a printer can have on
 * Windows, well over 159 characters. */
#define KIV_PRINTER_NAME_UNITS    260

/* ---- Process-wide state (one thread) ---------------------------------- */

typedef struct {
    HWND hTrayWnd;            /* hidden window: icon target, menu and sheet owner */
    UINT uQuitMsg;            /* "KivPrinterTrayMsg30"; 0 until registered */
    UINT uTaskbarCreatedMsg;  /* "TaskbarCreated"; 0 until registered */
    HMODULE hResLib;          /* kivres.dll while the icon or menu is made */
    int bIsPrtDlgRun;         /* the settings sheet is open */
    int bIsMenuRun;           /* the menu is being built or shown */
    int bIconRecordReady;     /* nid below has been filled */
    int cIconRetriesLeft;     /* ticks left to add a refused icon; 0: no timer */
    NOTIFYICONDATAA nid;      /* the icon record, in its first form */
} TRAYSTATE;

extern TRAYSTATE g_tray;

/* ---- Operations ------------------------------------------------------- */

/* traymutex.cpp: the single-instance mutex "KivPrinterTrayMutex30". */
int CreateTrayMutex(void);
int CreateTrayMutexNullDacl(void);
int IsTrayMutexExist(void);
void ReleaseTrayMutex(void);

/* trayfiles.cpp: files in the install folder or the system folder. */
int IsQPrinterFileExist(const char *pszFileName, char *pszPath);
HMODULE LaunchQPrinterDLL(const char *pszFileName);

/* autorun.cpp: the tray's value under HKLM\...\Run, else HKCU\...\Run. */
void AddToAutoRun(const char *pszValueName);
int IsInAutoRun(const char *pszValueName);

/* commands.cpp: help file and home page through the shell. */
void KivImagePrinterHelp(void);
void KivImagePrinterHomepage(void);

/* editor.cpp: the printer's default settings through the driver's sheet. */
int FindKivPrinterName(char *pszPrinterName);
int ShowPrintDialog(HWND hOwner);

/* trayicon.cpp: the notification icon. */
void AddTrayIcon(void);
void AddTrayIconAgain(void);
void RetryTrayIcon(void);
void DeleteTrayIcon(void);

/* traywnd.cpp: the hidden window. */
int CreateTrayWindow(HINSTANCE hInstance);
LRESULT CALLBACK TrayWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

/* traystr.cpp: bounded ANSI text helpers. */
int CopyText(char *pszDest, size_t cchDest, const char *pszSrc);
int AppendText(char *pszDest, size_t cchDest, const char *pszSrc);
int AppendBackslash(char *pszDest, size_t cchDest);
int EqualNoCaseAZ(const char *pszA, const char *pszB);

#endif /* KIV_KIVTRAY_H */
