/*
 * Every text setup shows, in one table, and the calls that show them.
 *
 * The texts are what users and support staff have seen for years, odd
 * spellings ("Unalbe", "directoy") and double blanks included; support
 * notes quote them, so they are kept exactly as they are.  The two
 * messages about a folder that cannot be found are newer: without them a
 * run went on with an empty folder name, which names setup's own folder.
 * So is the one that sends the x86 setup's users on 64-bit Windows to the
 * x64 product.
 */
#include "setupsteps.h"

#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#define CAPTION_ERROR   L"Error"
#define CAPTION_WARNING L"Warning"
#define CAPTION_FOLDER  L"Folder creation error"

#define TEXT_TARGET_IN_USE \
    L"Unable to update %s in %s, it is being used by Windows, you may need to close all " \
    L"applications or restart Windows and then try again!"

const SETUPMESSAGE g_aSetupMessages[KIV_MSG_COUNT] = {
    /* KIV_MSG_WRONG_WINDOWS */
    { L"Kiv Image Printer can only support Windows 2000/XP, setup has been cancelled!", KIV_SETUP_CAPTION },
    /* KIV_MSG_NEEDS_X64_SETUP: the x86 setup started on 64-bit Windows */
    { L"This is the setup of Kiv Image Printer for 32-bit Windows. On 64-bit Windows, please install "
      L"the x64 Kiv Image Printer instead, setup has been cancelled!", KIV_SETUP_CAPTION },
    /* KIV_MSG_CONSENT */
    { L"This will install Kiv Image Printer, do you wish to continue?", KIV_SETUP_CAPTION },
    /* KIV_MSG_CANCELLED */
    { L"Kiv Image Printer Setup was cancelled!", KIV_SETUP_CAPTION },
    /* KIV_MSG_SPOOL_FAILED */
    { L"Kiv Image Printer setup failed, you may need to try the manual setup method instead!", KIV_SETUP_CAPTION },
    /* KIV_MSG_SUCCESS */
    { L"Kiv Image Printer setup finished successfully. To use Kiv Image Printer, just print to "
      L"Kiv Image Printer from any Windows application that supports printing.", KIV_SETUP_CAPTION },
    /* KIV_MSG_FILES_FAILED */
    { L"Kiv Image Printer setup failed!", KIV_SETUP_CAPTION },
    /* KIV_MSG_OLD_PRINTER_STAYS */
    { L"Unable to delete the existing Kiv Image Printer, you may need to manually delete the "
      L"existing Kiv Image Printer first!", CAPTION_WARNING },
    /* KIV_MSG_DRIVER_SOURCE_MISSING */
    { L"Cannot find  file  %s  in current directoy", CAPTION_ERROR },
    /* KIV_MSG_DRIVER_COPY_FAILED */
    { L"Unalbe to copy file %s to %s!", CAPTION_ERROR },
    /* KIV_MSG_SOURCE_MISSING */
    { L"Cannot find %s in current directoy", CAPTION_ERROR },
    /* KIV_MSG_TARGET_IN_USE */
    { TEXT_TARGET_IN_USE, CAPTION_ERROR },
    /* KIV_MSG_COPY_FAILED */
    { L"Unalbe to copy file %s to %s", CAPTION_ERROR },
    /* KIV_MSG_FOLDER_FAILED */
    { L"Unable to create folder %s!", CAPTION_FOLDER },
    /* KIV_MSG_ADD_DRIVER_FAILED */
    { L"Unable to Add Kiv Image Printer driver", CAPTION_ERROR },
    /* KIV_MSG_XCV_OPEN_FAILED */
    { L"Unable to Open XcvMonitor, you may need to manually create the kiv local printer port first!",
      CAPTION_ERROR },
    /* KIV_MSG_ADD_PORT_FAILED */
    { L"Unable to create local printer port kiv, you may need to manually create the kiv printer "
      L"port first!", CAPTION_ERROR },
    /* KIV_MSG_ADD_PRINTER_FAILED */
    { L"Unable to Add Kiv Image Printer", CAPTION_ERROR },
    /* KIV_MSG_DRIVER_FOLDER_UNKNOWN: the usual cause is a stopped spooler */
    { L"Unable to find the printer driver folder, the print spooler service may not be running!",
      CAPTION_ERROR },
    /* KIV_MSG_SYSTEM_FOLDER_UNKNOWN */
    { L"Unable to find the Windows system folder!", CAPTION_ERROR },
    /* KIV_MSG_UNINSTALL_CONSENT */
    { L"This will remove Kiv Image Printer from this computer and cancel the documents waiting to print on it, "
      L"do you wish to continue?", KIV_SETUP_CAPTION },
    /* The first line of the removal's closing message: one of three. */
    /* KIV_MSG_UNINSTALL_DONE */
    { L"Kiv Image Printer has been removed from this computer.", KIV_SETUP_CAPTION },
    /* KIV_MSG_UNINSTALL_INCOMPLETE */
    { L"Kiv Image Printer could not be removed completely.", KIV_SETUP_CAPTION },
    /* KIV_MSG_UNINSTALL_NOTHING */
    { L"Kiv Image Printer was not found on this computer: nothing was removed.", KIV_SETUP_CAPTION },
};

/* The rest of the removal's closing message, after its first line. */
const WCHAR *const g_apszUninstallParts[KIV_UPART_COUNT] = {
    /* KIV_UPART_REMOVED */
    L"Removed:",
    /* KIV_UPART_NOT_REMOVED */
    L"Not removed:",
    /* KIV_UPART_SETTINGS_KEPT */
    L"The settings files (kivusrid.bin, kivusr1.bin to kivusr5.bin) are kept: a later installation "
    L"uses them again.",
    /* KIV_UPART_FOLDER_KEPT */
    L"The folder %s is kept: it holds other files.",
    /* KIV_UPART_FOLDER_LATER */
    L"The folder %s will be deleted when Windows restarts.",
    /* KIV_UPART_SELF */
    L"The uninstaller %s will be deleted when Windows restarts.",
    /* KIV_UPART_PORT_USED */
    L"The printer port %s is kept: the printer \"%s\" uses it.",
    /* KIV_UPART_PRINTER */
    L"the printer \"%s\"",
    /* KIV_UPART_DRIVER */
    L"the printer driver \"%s\" for %s",
    /* KIV_UPART_PORT */
    L"the printer port %s",
    /* KIV_UPART_FORMS */
    L"%d paper forms",
    /* KIV_UPART_FORM */
    L"the paper form \"%s\"",
    /* KIV_UPART_FILE */
    L"%s",
    /* KIV_UPART_FOLDER */
    L"the folder %s",
    /* KIV_UPART_RUN_VALUE */
    L"the autostart value %s",
    /* KIV_UPART_ENTRY */
    L"the entry in Add or Remove Programs",
    /* KIV_UPART_ERROR */
    L"%s (error %lu)",
    /* KIV_UPART_AT_RESTART */
    L"%s is in use: it will be deleted when Windows restarts",
    /* KIV_UPART_ENTRY_KEPT */
    L"The printer or its driver is still in use, so the entry in Add or Remove Programs and the uninstaller "
    L"%s are kept: restart Windows and remove Kiv Image Printer again.",
};

/* The longest template is the in-use message; each %s is at most a full
 * path (BuildFullPath never writes more than KIV_PATH_UNITS).  Together
 * they must stay inside wsprintfW's 1024 units, or a message would be cut. */
static_assert(sizeof(TEXT_TARGET_IN_USE) / sizeof(WCHAR) + 2 * KIV_PATH_UNITS < KIV_MESSAGE_UNITS,
              "a formatted message could be cut");

/* A labelled trace line: "Kiv Image Printer(label: text)". */
#define KIV_TRACE_PREFIX      L"Kiv Image Printer("
#define KIV_TRACE_LINE_UNITS  (KIV_MESSAGE_UNITS + 64)

/* The prefix, the longest label (setup's caption) and the punctuation
 * take less than the 64 units beyond a message, so no message is ever
 * cut. */
static_assert(sizeof(KIV_TRACE_PREFIX) / sizeof(WCHAR) + sizeof(KIV_SETUP_CAPTION) / sizeof(WCHAR) + 4 < 64 &&
                  sizeof(CAPTION_FOLDER) <= sizeof(KIV_SETUP_CAPTION),
              "a trace line could be cut");

/* Appends text, cut where it would not fit. */
static size_t AppendLine(WCHAR *pszLine, size_t cchHave, const WCHAR *pszMore)
{
    size_t cchMore = wcslen(pszMore);

    if (cchMore > KIV_TRACE_LINE_UNITS - 1 - cchHave)
        cchMore = KIV_TRACE_LINE_UNITS - 1 - cchHave;
    memcpy(pszLine + cchHave, pszMore, cchMore * sizeof(WCHAR));
    pszLine[cchHave + cchMore] = L'\0';
    return cchHave + cchMore;
}

static HANDLE g_hSetupLog = INVALID_HANDLE_VALUE;

/* One line of the log: UTF-8, CRLF; nothing without a log. */
static void AppendLogLine(const WCHAR *pszLine)
{
    char szLine[KIV_TRACE_LINE_UNITS * 3];
    DWORD cbWritten;
    int cb;

    if (g_hSetupLog == INVALID_HANDLE_VALUE)
        return;
    /* cb counts the terminator, which becomes the CR; the LF follows. */
    cb = WideCharToMultiByte(CP_UTF8, 0, pszLine, -1, szLine, (int)sizeof(szLine) - 1, NULL, NULL);
    if (cb <= 0)
        return;
    szLine[cb - 1] = '\r';
    szLine[cb] = '\n';
    WriteFile(g_hSetupLog, szLine, (DWORD)cb + 1, &cbWritten, NULL);
}

/* Appended to, never truncated: a package's installation and removal
 * share the file.  The first line names the build and the command line. */
void OpenSetupLog(const char *pszCmdLine)
{
    WCHAR szLine[KIV_TRACE_LINE_UNITS] = L"Kiv Image Printer setup " KIV_PRODUCT_VERSION " (" KIV_ARCH_NAME "): ";
    size_t cch = wcslen(szLine);

    if (!SetupCommandLine.szLogPath[0])
        return;
    g_hSetupLog = CreateFileW(SetupCommandLine.szLogPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (!MultiByteToWideChar(CP_ACP, 0, pszCmdLine ? pszCmdLine : "", -1, szLine + cch,
                             (int)(KIV_TRACE_LINE_UNITS - cch)))
        szLine[cch] = L'\0';
    AppendLogLine(szLine);
}

void CloseSetupLog(void)
{
    if (g_hSetupLog != INVALID_HANDLE_VALUE)
        CloseHandle(g_hSetupLog);
    g_hSetupLog = INVALID_HANDLE_VALUE;
}

void TraceLabelled(const WCHAR *pszLabel, const WCHAR *pszText)
{
    WCHAR szLine[KIV_TRACE_LINE_UNITS];
    size_t cch = 0;

    szLine[0] = L'\0';
    cch = AppendLine(szLine, cch, KIV_TRACE_PREFIX);
    cch = AppendLine(szLine, cch, pszLabel);
    cch = AppendLine(szLine, cch, L": ");
    cch = AppendLine(szLine, cch, pszText);
    AppendLine(szLine, cch, L")");
    OutputDebugStringW(szLine);
    AppendLogLine(szLine);
}

void ShowSetupMessage(KIVSETUPMSG id, ...)
{
    WCHAR szMessage[KIV_MESSAGE_UNITS];
    va_list args;

    va_start(args, id);
    wvsprintfW(szMessage, g_aSetupMessages[id].pszText, args);
    va_end(args);
    szMessage[KIV_MESSAGE_UNITS - 1] = L'\0';
    /* A run without a desktop (a deployment as LocalSystem) would wait
     * for ever on a message box: an unattended run writes its messages
     * to the debugger output stream instead. */
    if (SetupCommandLine.bQuiet)
        TraceLabelled(g_aSetupMessages[id].pszCaption, szMessage);
    else
        MessageBoxW(NULL, szMessage, g_aSetupMessages[id].pszCaption, MB_OK);
}

int AskSetupQuestion(KIVSETUPMSG id)
{
    return MessageBoxW(NULL, g_aSetupMessages[id].pszText, g_aSetupMessages[id].pszCaption,
                       MB_YESNO | MB_ICONQUESTION);
}

void TraceSetup(const char *pszLine)
{
    WCHAR szLine[KIV_TRACE_LINE_UNITS];

    OutputDebugStringA(pszLine);
    if (MultiByteToWideChar(CP_ACP, 0, pszLine, -1, szLine, KIV_TRACE_LINE_UNITS))
        AppendLogLine(szLine);
}
