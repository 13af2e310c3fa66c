/*
 * Bounded ANSI text helpers: every path and name the tray builds lives in
 * a fixed buffer, and a text that does not fit is refused whole rather
 * than cut, since a cut path names another file.
 */
#include "kivtray.h"

/* Copies pszSrc into pszDest (cchDest characters with the terminator).
 * 1 when it fit; otherwise 0 and pszDest is empty. */
int CopyText(char *pszDest, size_t cchDest, const char *pszSrc)
{
    size_t i;

    if (cchDest == 0)
        return 0;
    for (i = 0; i < cchDest; i++) {
        pszDest[i] = pszSrc[i];
        if (!pszSrc[i])
            return 1;
    }
    pszDest[0] = '\0';
    return 0;
}

/* Appends pszSrc to the text in pszDest.  1 when it fit; otherwise 0 and
 * pszDest is empty. */
int AppendText(char *pszDest, size_t cchDest, const char *pszSrc)
{
    size_t cch = 0;

    while (cch < cchDest && pszDest[cch])
        cch++;
    if (cch >= cchDest || !CopyText(pszDest + cch, cchDest - cch, pszSrc)) {
        if (cchDest)
            pszDest[0] = '\0';
        return 0;
    }
    return 1;
}

/* Appends a backslash unless the text already ends with one. */
int AppendBackslash(char *pszDest, size_t cchDest)
{
    size_t cch = 0;

    while (cch < cchDest && pszDest[cch])
        cch++;
    if (cch > 0 && cch < cchDest && pszDest[cch - 1] == '\\')
        return 1;
    return AppendText(pszDest, cchDest, "\\");
}

/* Equal texts, with the letters A to Z matching their small forms; every
 * other character must match exactly. */
int EqualNoCaseAZ(const char *pszA, const char *pszB)
{
    for (;; pszA++, pszB++) {
        char a = (*pszA >= 'A' && *pszA <= 'Z') ? (char)(*pszA - 'A' + 'a') : *pszA;
        char b = (*pszB >= 'A' && *pszB <= 'Z') ? (char)(*pszB - 'A' + 'a') : *pszB;
        if (a != b)
            return 0;
        if (!a)
            return 1;
    }
}
