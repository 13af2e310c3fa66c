/*
 * The command line of kivsetup.  Without one it installs with its
 * dialogs; the switches, in any order and letter case, written "/name" or
 * "-name" and separated by blanks, ask for something else:
 *
 *   /uninstall  remove the product instead (uninstall.cpp)
 *   /quiet      no window at all, for unattended runs: failures go to the
 *               debugger output stream and the exit code tells the outcome
 *   /package    run by a Windows Installer package, which keeps the
 *               product's entry in Add or Remove Programs itself: setup
 *               writes none and leaves no uninstaller of its own
 *   /log FILE   append every trace line to FILE as well (a path with
 *               blanks in double quotes); one that does not fit is no log
 *   /trayautostart
 *               the tray's machine-wide autostart value was set (a package
 *               looks before the earlier release's removal deletes it):
 *               a successful installation writes it again
 *   /rollback   a package's rollback: the run goes ahead only when the
 *               opposite run completed last (runmark.h), and else ends
 *               with 0 at once; the undo of a run that failed is its own
 *   /allusers   a removal that is not part of an upgrade (a package run
 *               as LocalSystem passes it): the agent's and the tray's
 *               autostart values go from every user hive that is loaded,
 *               not only from the removing user's own
 *
 * Any other text is ignored, as it always was.
 */
#include "kivsetup.h"

#include <string.h>

SETUPCOMMANDLINE SetupCommandLine = { 0, 0, 0, 0, 0, 0, { 0 } };

static char AsciiLowerA(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

/* The token is "/name" or "-name", in any letter case. */
static int IsSwitch(const char *pszToken, size_t cchToken, const char *pszName)
{
    size_t cchName = strlen(pszName);

    if (cchToken != cchName + 1 || (pszToken[0] != '/' && pszToken[0] != '-'))
        return 0;
    for (size_t i = 0; i < cchName; i++)
        if (AsciiLowerA(pszToken[i + 1]) != pszName[i])
            return 0;
    return 1;
}

/* The path after /log, quoted or up to the next blank, into the command
 * line's record; returns where the text goes on. */
static const char *ReadLogPath(const char *p)
{
    const char *pStart, *pEnd;
    int cch;

    while (*p == ' ' || *p == '\t')
        p++;
    if (*p == '"') {
        pStart = ++p;
        while (*p && *p != '"')
            p++;
        pEnd = p;
        if (*p)
            p++;
    } else {
        pStart = p;
        while (*p && *p != ' ' && *p != '\t')
            p++;
        pEnd = p;
    }
    cch = pEnd - pStart < MAX_PATH ? MultiByteToWideChar(CP_ACP, 0, pStart, (int)(pEnd - pStart),
                                                        SetupCommandLine.szLogPath, MAX_PATH - 1)
                                   : 0;
    SetupCommandLine.szLogPath[cch > 0 ? cch : 0] = L'\0';
    return p;
}

void ReadSetupCommandLine(const char *pszCmdLine)
{
    const char *p = pszCmdLine ? pszCmdLine : "";

    ZeroMemory(&SetupCommandLine, sizeof(SetupCommandLine));
    while (*p) {
        const char *pToken;
        size_t cchToken;

        while (*p == ' ' || *p == '\t')
            p++;
        pToken = p;
        while (*p && *p != ' ' && *p != '\t')
            p++;
        cchToken = (size_t)(p - pToken);
        if (IsSwitch(pToken, cchToken, "uninstall"))
            SetupCommandLine.bUninstall = 1;
        else if (IsSwitch(pToken, cchToken, "quiet"))
            SetupCommandLine.bQuiet = 1;
        else if (IsSwitch(pToken, cchToken, "package"))
            SetupCommandLine.bPackage = 1;
        else if (IsSwitch(pToken, cchToken, "trayautostart"))
            SetupCommandLine.bTrayAutostart = 1;
        else if (IsSwitch(pToken, cchToken, "rollback"))
            SetupCommandLine.bRollback = 1;
        else if (IsSwitch(pToken, cchToken, "allusers"))
            SetupCommandLine.bAllUsers = 1;
        else if (IsSwitch(pToken, cchToken, "log"))
            p = ReadLogPath(p);
    }
}
