/*
 * The path agent's own operations, shared between its program files and
 * the tests that drive them in-process.
 */
#ifndef KIV_KIVPRT_H
#define KIV_KIVPRT_H

#include <windows.h>
#include "agentproto.h"
#include "agentsync.h"

/* Argument texts of this length or shorter end the agent at once. */
#define KIV_AGENT_MIN_ARGS_LEN 3

/* Autostart value: the agent's module path followed by this suffix. */
#define KIV_AGENT_RUN_VALUE    "kivprt"
#define KIV_AGENT_RUN_SUFFIX   "  -start"
#define KIV_RUN_KEY            "Software\\Microsoft\\Windows\\CurrentVersion\\Run"

/* cmdline.cpp */
char AsciiLower(char c);
const char *SkipLeadingBlanks(const char *pszText);
void ParseCmdLine(char *pszArgs, int *pStopflag);

/* autorun.cpp */
int GetAutoRunText(char *pszText, DWORD cchText);
int IsInAutoRun(const char *pszValueName);
void AddToAutoRun(const char *pszValueName);

/* serve.cpp */
void CopyPathField(WCHAR *pszDest, const WCHAR *pszField);
LONG ExecAgentCommand(AGENTBLOCK *pBlock, LONG lCommand);
int AgentMain(char *pszArgs);

#endif /* KIV_KIVPRT_H */
