/*
 * The setup options file "qprinter.ini": three switches that let an
 * administrator run setup without questions, without the progress window
 * or without the closing success message.
 *
 * The format is older than any ini parser here and is read the way it has
 * always been read: no sections, no comments; any line that contains a key
 * name sets that key from the first integer after its first '='.  So a
 * line ";first=0" switches the question off too: it is not a comment.
 */
/* stdio.h first: windows.h reaches a C++ library header that switches
 * the C runtime's sscanf for mingw-w64's own scanf (with its locale
 * machinery); included before that, sscanf is the runtime's (msvcrt). */
#include <stdio.h>
#include <string.h>

#include "kivsetup.h"

/* fgets reads at most this many characters less one; a longer line comes
 * in pieces, and each piece is handled as a line of its own. */
#define KIV_OPTIONS_LINE_BYTES 256

QPRINTERSETUPCFG QprinterSetUpCfg = { 1, 1, 1 };

/* Blanks the key and the '=' so that only the value is left for sscanf. */
void BlankKeyPart(char *pszLine)
{
    for (char *p = pszLine; *p; p++) {
        char c = *p;
        *p = ' ';
        if (c == '=')
            break;
    }
}

/* The flag a line sets, or NULL.  Only the two case forms count, and the
 * keys are tried in this order, so "finalstatus=0" sets final only. */
static int *FlagOfLine(const char *pszLine)
{
    if (strstr(pszLine, "first") || strstr(pszLine, "First"))
        return &QprinterSetUpCfg.bFirstMsgBoxPrompt;
    if (strstr(pszLine, "final") || strstr(pszLine, "Final"))
        return &QprinterSetUpCfg.bFinalDlgBoxPrompt;
    if (strstr(pszLine, "status") || strstr(pszLine, "Status"))
        return &QprinterSetUpCfg.bStatusDlgBox;
    return NULL;
}

void ReadSetupOptions(const char *pszPath)
{
    char szLine[KIV_OPTIONS_LINE_BYTES];
    FILE *pFile;

    QprinterSetUpCfg.bFirstMsgBoxPrompt = 1;
    QprinterSetUpCfg.bFinalDlgBoxPrompt = 1;
    QprinterSetUpCfg.bStatusDlgBox = 1;

    pFile = fopen(pszPath, "rt");
    if (!pFile)
        return;
    while (!feof(pFile)) {
        int *pFlag;

        if (!fgets(szLine, sizeof(szLine), pFile))
            break;
        pFlag = FlagOfLine(szLine);
        if (!pFlag)
            continue;
        BlankKeyPart(szLine);
        /* No integer after the '=' (or no '=' at all): the flag stays. */
        sscanf(szLine, "%d", pFlag);
    }
    fclose(pFile);
}
