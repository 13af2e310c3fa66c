/*
 * dlghelper: answers the dialogs of a test's Wine prefix and records what
 * they said.
 *
 *   dlghelper LOGFILE [--press ID[,ID...]] [--count N] [--timeout MS]
 *             [--ready EVENTNAME]
 *
 * Polls every 10 ms for visible top-level dialogs (class #32770).  For each
 * new one it appends a record to LOGFILE (UTF-8):
 *
 *   caption<TAB>text<TAB>id=label;id=label;...<TAB>pressed-id<LF>
 *
 * where text is the static control 0xFFFF of a message box (empty for
 * other dialogs), and the buttons are listed in child order with the
 * default one marked by a '*' before its id.  Tabs, line breaks and
 * backslashes inside texts are written as \t, \n, \r and \\.
 *
 * Then it presses a button by posting WM_COMMAND: the next id of --press
 * (0 or "default" for the default button), or the default button once the
 * list is used up.  A dialog without buttons (a progress window) is
 * recorded and left alone.  Texts are read with InternalGetWindowText,
 * which sends no message and so works while the dialog's owner is busy.
 *
 * It ends after N dialogs with buttons (--count, default 1) with exit
 * code 0, or after --timeout ms (default 60000) with exit code 1.  With
 * --ready it signals that (manual-reset) event once it is polling.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define MAX_SEEN 256
#define TEXT_UNITS 2048

typedef struct {
    HWND hwnd;
    WCHAR szCaption[TEXT_UNITS];
} SEENDLG;

typedef struct {
    int aButtonIds[32];
    int cButtons;
    int defaultId;
    char szButtons[4 * TEXT_UNITS];
    size_t cchButtons;
} BUTTONLIST;

static SEENDLG g_seen[MAX_SEEN];
static int g_cSeen;


static void AppendEscaped(char *pszOut, size_t cbOut, size_t *pcchOut, const WCHAR *pszText)
{
    char szUtf8[4 * TEXT_UNITS];
    int cb = WideCharToMultiByte(CP_UTF8, 0, pszText, -1, szUtf8, sizeof(szUtf8), NULL, NULL);
    if (cb <= 0)
        szUtf8[0] = '\0';
    for (const char *p = szUtf8; *p; p++) {
        const char *pRep = NULL;
        char one[2] = { *p, 0 };
        switch (*p) {
        case '\t': pRep = "\\t"; break;
        case '\n': pRep = "\\n"; break;
        case '\r': pRep = "\\r"; break;
        case '\\': pRep = "\\\\"; break;
        default:   pRep = one; break;
        }
        size_t cch = strlen(pRep);
        if (*pcchOut + cch + 1 > cbOut)
            break;
        memcpy(pszOut + *pcchOut, pRep, cch);
        *pcchOut += cch;
        pszOut[*pcchOut] = '\0';
    }
}

static void AppendRaw(char *pszOut, size_t cbOut, size_t *pcchOut, const char *pszText)
{
    size_t cch = strlen(pszText);
    if (*pcchOut + cch + 1 > cbOut)
        return;
    memcpy(pszOut + *pcchOut, pszText, cch + 1);
    *pcchOut += cch;
}

static BOOL CALLBACK CollectButton(HWND hwnd, LPARAM lParam)
{
    BUTTONLIST *pList = (BUTTONLIST *)lParam;
    WCHAR szClass[64], szLabel[TEXT_UNITS];
    char szId[32];
    LONG style;
    int id;

    if (!GetClassNameW(hwnd, szClass, 64) || lstrcmpiW(szClass, L"Button") != 0)
        return TRUE;
    style = GetWindowLongW(hwnd, GWL_STYLE);
    switch (style & BS_TYPEMASK) {
    case BS_PUSHBUTTON:
    case BS_DEFPUSHBUTTON:
        break;
    default:
        return TRUE;    /* check boxes, group boxes... */
    }
    id = GetDlgCtrlID(hwnd);
    if (pList->cButtons < 32)
        pList->aButtonIds[pList->cButtons++] = id;
    if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && !pList->defaultId)
        pList->defaultId = id;
    szLabel[0] = 0;
    InternalGetWindowText(hwnd, szLabel, TEXT_UNITS);
    if (pList->cchButtons)
        AppendRaw(pList->szButtons, sizeof(pList->szButtons), &pList->cchButtons, ";");
    snprintf(szId, sizeof(szId), "%s%d=", (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON ? "*" : "", id);
    AppendRaw(pList->szButtons, sizeof(pList->szButtons), &pList->cchButtons, szId);
    AppendEscaped(pList->szButtons, sizeof(pList->szButtons), &pList->cchButtons, szLabel);
    return TRUE;
}

static int Seen(HWND hwnd, const WCHAR *pszCaption)
{
    /* A closed dialog's handle can come back for the next one: a handle
     * counts as seen only with the same caption. */
    for (int i = 0; i < g_cSeen; i++)
        if (g_seen[i].hwnd == hwnd && wcscmp(g_seen[i].szCaption, pszCaption) == 0)
            return 1;
    return 0;
}

typedef struct {
    HWND aDialogs[64];
    int cDialogs;
} DLGLIST;

static BOOL CALLBACK CollectDialog(HWND hwnd, LPARAM lParam)
{
    DLGLIST *pList = (DLGLIST *)lParam;
    WCHAR szClass[64];

    if (!IsWindowVisible(hwnd))
        return TRUE;
    if (!GetClassNameW(hwnd, szClass, 64) || wcscmp(szClass, L"#32770") != 0)
        return TRUE;
    if (pList->cDialogs < 64)
        pList->aDialogs[pList->cDialogs++] = hwnd;
    return TRUE;
}

int main(int argc, char **argv)
{
    const char *pszLog = NULL;
    const char *pszPress = "";
    int count = 1, answered = 0;
    DWORD timeout = 60000, start;
    HANDLE hReady = NULL;

    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--press") && i + 1 < argc)
            pszPress = argv[++i];
        else if (!strcmp(argv[i], "--count") && i + 1 < argc)
            count = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc)
            timeout = (DWORD)strtoul(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "--ready") && i + 1 < argc)
            hReady = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[++i]);
        else
            pszLog = argv[i];
    }
    if (!pszLog) {
        fprintf(stderr, "usage: dlghelper LOGFILE [--press ID,...] [--count N] [--timeout MS] [--ready EVENT]\n");
        return 2;
    }

    start = GetTickCount();
    if (hReady) {
        SetEvent(hReady);
        CloseHandle(hReady);
    }
    while (answered < count) {
        DLGLIST list;
        list.cDialogs = 0;
        EnumWindows(CollectDialog, (LPARAM)&list);
        for (int d = 0; d < list.cDialogs && answered < count; d++) {
            HWND hwnd = list.aDialogs[d];
            WCHAR szCaption[TEXT_UNITS], szText[TEXT_UNITS];
            BUTTONLIST buttons;
            char szRecord[16 * TEXT_UNITS];
            size_t cch = 0;
            int pressId = 0;
            HWND hStatic;
            FILE *pLog;

            szCaption[0] = szText[0] = 0;
            InternalGetWindowText(hwnd, szCaption, TEXT_UNITS);
            if (Seen(hwnd, szCaption))
                continue;
            hStatic = GetDlgItem(hwnd, 0xFFFF);
            if (hStatic)
                InternalGetWindowText(hStatic, szText, TEXT_UNITS);
            memset(&buttons, 0, sizeof(buttons));
            buttons.szButtons[0] = '\0';
            EnumChildWindows(hwnd, CollectButton, (LPARAM)&buttons);
            if (buttons.cButtons == 0 && !hStatic) {
                /* Nothing to press yet: a progress window, or a dialog
                 * still being built.  Record it once it has a caption. */
                if (!szCaption[0])
                    continue;
            }
            if (g_cSeen < MAX_SEEN) {
                g_seen[g_cSeen].hwnd = hwnd;
                memcpy(g_seen[g_cSeen].szCaption, szCaption, sizeof(szCaption));
                g_cSeen++;
            }

            if (buttons.cButtons) {
                /* Next id from the --press list, else the default button. */
                while (*pszPress == ',')
                    pszPress++;
                if (*pszPress) {
                    if (!strncmp(pszPress, "default", 7))
                        pressId = 0;
                    else
                        pressId = atoi(pszPress);
                    while (*pszPress && *pszPress != ',')
                        pszPress++;
                }
                if (!pressId)
                    pressId = buttons.defaultId ? buttons.defaultId : buttons.aButtonIds[0];
            }

            AppendEscaped(szRecord, sizeof(szRecord), &cch, szCaption);
            AppendRaw(szRecord, sizeof(szRecord), &cch, "\t");
            AppendEscaped(szRecord, sizeof(szRecord), &cch, szText);
            AppendRaw(szRecord, sizeof(szRecord), &cch, "\t");
            AppendRaw(szRecord, sizeof(szRecord), &cch, buttons.szButtons);
            char szTail[32];
            snprintf(szTail, sizeof(szTail), "\t%d\n", pressId);
            AppendRaw(szRecord, sizeof(szRecord), &cch, szTail);
            pLog = fopen(pszLog, "ab");
            if (pLog) {
                fwrite(szRecord, 1, cch, pLog);
                fclose(pLog);
            }
            if (pressId) {
                PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(pressId, BN_CLICKED),
                             (LPARAM)GetDlgItem(hwnd, pressId));
                answered++;
            }
        }
        if (answered >= count)
            break;
        if (GetTickCount() - start > timeout)
            return 1;
        Sleep(10);
    }
    return 0;
}
