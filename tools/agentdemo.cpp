/*
 * agentdemo: what a printer driver component does with the path agent,
 * step by step, in words.  It uses the common library's agent client, as
 * the driver's components do.
 *
 *   agentdemo LOCALFILE UNCFOLDER
 *
 * Waits for the agent, attaches, copies LOCALFILE into UNCFOLDER, tests
 * the folder and the copied file, has the agent run a command that leaves
 * a note in the folder, and detaches.  Exit code 0 when every step did
 * what it should.
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>
#include "kivclient.h"

static int g_failures;

static void Step(const char *pszWhat, int ok, const char *pszGood, const char *pszBad)
{
    printf("  %-58s %s\n", pszWhat, ok ? pszGood : pszBad);
    if (!ok)
        g_failures++;
    fflush(stdout);
}

/* The command creates the note before it writes into it: wait for text. */
static int WaitForText(const wchar_t *pszPath, DWORD ms)
{
    DWORD start = GetTickCount();
    WIN32_FILE_ATTRIBUTE_DATA data;

    while (!GetFileAttributesExW(pszPath, GetFileExInfoStandard, &data) || data.nFileSizeLow == 0) {
        if (GetTickCount() - start > ms)
            return 0;
        Sleep(50);
    }
    return 1;
}

int wmain(int argc, wchar_t **argv)
{
    wchar_t szTarget[MAX_PATH], szNote[MAX_PATH], szCommand[MAX_PATH * 2];
    const wchar_t *pszName;
    DWORD start = GetTickCount();

    if (argc != 3) {
        fprintf(stderr, "usage: agentdemo LOCALFILE UNCFOLDER\n");
        return 2;
    }
    pszName = wcsrchr(argv[1], L'\\');
    pszName = pszName ? pszName + 1 : argv[1];
    if (swprintf(szTarget, MAX_PATH, L"%ls\\%ls", argv[2], pszName) < 0 ||
        swprintf(szNote, MAX_PATH, L"%ls\\note.txt", argv[2]) < 0 ||
        swprintf(szCommand, MAX_PATH * 2, L"cmd.exe /c echo The agent ran this command.> \"%ls\"", szNote) < 0) {
        fprintf(stderr, "agentdemo: paths too long\n");
        return 2;
    }

    while (!IsKivShelllAppRunning() && GetTickCount() - start < 30000)
        Sleep(50);
    Step("Is a path agent running?", IsKivShelllAppRunning(), "yes", "no agent found");
    Step("Attach to the agent", InitUNCShelllApp(), "attached", "could not attach");
    if (g_failures)
        return 1;

    printf("  Local file  : %ls\n  UNC folder  : %ls\n", argv[1], argv[2]);
    Step("Does the UNC folder exist? (asked through the agent)", DirExists(argv[2]) == 1, "yes", "no");
    Step("Is the file there before the copy?", FileExists(szTarget) == 0, "no, as expected", "yes?");
    Step("Copy the file into the UNC folder", UNCCopyFile(argv[1], szTarget) != 0, "copied", "copy failed");
    Step("Is the copied file there now?", FileExists(szTarget) == 1, "yes", "no");
    Step("Is the copied file a folder?", DirExists(szTarget) == 0, "no, it is a file", "yes?");

    UNCAppExecute(szCommand);
    Step("Run a command through the agent (it writes note.txt)",
         WaitForText(szNote, 20000) && FileExists(szNote) == 1, "the note appeared", "no note");

    ExitUNCShelllApp();
    printf("  %-58s %s\n", "Detach from the agent", "detached");
    return g_failures ? 1 : 0;
}
