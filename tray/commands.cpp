/*
 * The menu's help and home page commands.  Both hand a file or an address
 * to the shell, which opens it in the program associated with it; the
 * shell's failures are not reported.
 */
#include "kivtray.h"

/* Help files, best first.  Each name is looked for in the install folder
 * and in the system folder before the next name is tried, so a compiled
 * help file anywhere wins over a plain one. */
static const char *const g_apszHelpFiles[] = {
    "kivhlp.chm",
    "kivhlp.htm",
    "kivhlp.txt",
};

void KivImagePrinterHelp(void)
{
    char szSystemDir[KIV_SYSTEM_DIR_UNITS];
    char szPath[KIV_LOOKUP_PATH_UNITS];
    UINT cch;
    size_t i;

    cch = GetSystemDirectoryA(szSystemDir, KIV_SYSTEM_DIR_UNITS);
    if (cch == 0 || cch >= KIV_SYSTEM_DIR_UNITS)
        szSystemDir[0] = '\0';
    for (i = 0; i < sizeof(g_apszHelpFiles) / sizeof(g_apszHelpFiles[0]); i++) {
        if (IsQPrinterFileExist(g_apszHelpFiles[i], szPath)) {
            /* The path also travels as the parameters, so a viewer that
             * reads its whole command line finds the file there too. */
            ShellExecuteA(GetDesktopWindow(), "open", szPath, szPath,
                          szSystemDir[0] ? szSystemDir : NULL, SW_SHOWNORMAL);
            return;
        }
    }
}

void KivImagePrinterHomepage(void)
{
    ShellExecuteA(GetDesktopWindow(), "open", KIV_HOMEPAGE_URL_A, NULL, NULL, SW_SHOWNORMAL);
}
