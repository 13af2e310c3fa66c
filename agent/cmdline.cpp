/*
 * The agent's command line: which mode the argument text asks for.
 */
#include "kivprt.h"

/* Letter case folded the ASCII way, whatever the user's locale. */
char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

static int IsSeparator(char c)
{
    return c == '-' || c == '/';
}

const char *SkipLeadingBlanks(const char *pszText)
{
    while (*pszText == ' ' || *pszText == '\t')
        pszText++;
    return pszText;
}

/*
 * Cuts the argument text into tokens at every hyphen and slash (blanks are
 * not separators) and sets *pStopflag when a token starts with "stop" in
 * any letter case: "-stop", "/STOP", "-Stopping" and "x-stopper" all ask
 * for stop mode.  The separators are overwritten with zeros, as strtok
 * would, but without its hidden state.
 */
void ParseCmdLine(char *pszArgs, int *pStopflag)
{
    static const char szStop[] = "stop";
    char *p = pszArgs;

    *pStopflag = 0;
    while (*p) {
        char *pToken;
        int i;

        while (IsSeparator(*p))
            *p++ = '\0';
        if (!*p)
            break;
        pToken = p;
        while (*p && !IsSeparator(*p))
            p++;
        if (*p)
            *p++ = '\0';
        for (i = 0; i < 4; i++) {
            if (AsciiLower(pToken[i]) != szStop[i])
                break;
        }
        if (i == 4)
            *pStopflag = 1;
    }
}
