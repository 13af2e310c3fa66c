/*
 * The request protocol between the path agent (kivprt) and its clients.
 *
 * Everything that passes between the two sides is here: the names of the
 * shared kernel objects, the layout of the shared block and the command
 * codes.  Both sides use the wide-character calls on these objects.  The
 * names carry no namespace prefix, so a client and the agent meet within
 * one logon session.
 *
 * Exchange, client side: wait for the client mutex; write the command word
 * and the path(s); signal the request event; wait for the done event; read
 * the result field; release the mutex.  Agent side: wait for the request
 * event; read the command word; carry the command out; signal the done
 * event (after every command, quit and unknown codes included).
 */
#ifndef KIV_AGENTPROTO_H
#define KIV_AGENTPROTO_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Named objects. */
#define KIV_AGENT_MEM_NAME      L"KivImagePrinterMem30"       /* shared block (paging file) */
#define KIV_AGENT_EXEC_NAME     L"KivImagePrinterExec30"      /* request event, auto-reset */
#define KIV_AGENT_DONE_NAME     L"KivImagePrinterDone30"      /* done event, auto-reset */
#define KIV_AGENT_SYNC_NAME     L"KivImagePrinterSync30"      /* ready event, auto-reset */
#define KIV_AGENT_FREE_NAME     L"KivImagePrinterFree30"      /* client mutex */
#define KIV_AGENT_INSTANCE_NAME L"KivImagePrinterUncAgency30" /* agent instance mutex */

/* Program file of the agent and the argument texts that select its mode. */
#define KIV_AGENT_EXE_NAME      L"kivprt.exe"
#define KIV_AGENT_START_ARGS    L"  -start"      /* its autostart value's */
#define KIV_AGENT_LAUNCH_ARGS   L"  -launch"
#define KIV_AGENT_STOP_ARGS     L"  -stop"

/* A path field holds at most 255 characters and the terminating zero. */
#define KIV_AGENT_PATH_UNITS    256
#define KIV_AGENT_MAX_PATH_LEN  (KIV_AGENT_PATH_UNITS - 1)

/* Command codes (the command word). */
enum {
    KIV_CMD_QUIT       = 0, /* the agent leaves its serve loop */
    KIV_CMD_COPY       = 1, /* copy first path to second path, replacing it; result in the command word */
    KIV_CMD_DELETE     = 2, /* delete the first path */
    KIV_CMD_DIR_EXISTS = 3, /* test result := 1 when the first path is a folder */
    KIV_CMD_FILE_EXISTS= 4, /* test result := 1 when the first path exists and is not a folder */
    KIV_CMD_OPEN       = 5, /* ShellExecute "open" on the first path */
    KIV_CMD_RUN        = 6  /* run the first path as a command line */
};

/*
 * The shared block: 1028 bytes, little-endian, no header, no version.
 * The test result of commands 3 and 4 (a signed 32-bit 1 or 0) overlays
 * the first two characters of the second path; use the accessors below.
 */
typedef struct tagAGENTBLOCK {
    LONG  lCommand;                        /* command code; copy result after command 1 */
    WCHAR szPath1[KIV_AGENT_PATH_UNITS];   /* first path */
    WCHAR szPath2[KIV_AGENT_PATH_UNITS];   /* second path (command 1); test result */
} AGENTBLOCK;

static __inline LONG KivAgentGetTestResult(const AGENTBLOCK *pBlock)
{
    LONG lResult;
    CopyMemory(&lResult, (const void *)pBlock->szPath2, sizeof(lResult));
    return lResult;
}

static __inline void KivAgentSetTestResult(AGENTBLOCK *pBlock, LONG lResult)
{
    CopyMemory((void *)pBlock->szPath2, &lResult, sizeof(lResult));
}

#define KIV_AGENT_BLOCK_SIZE 1028

#ifdef __cplusplus
}
#endif

#include <stddef.h>
#include "kivassert.h"   /* common/: the checks also for C89 and C++98 compilers */
KIV_STATIC_ASSERT(sizeof(AGENTBLOCK) == KIV_AGENT_BLOCK_SIZE, "AGENTBLOCK is 1028 bytes");
KIV_STATIC_ASSERT(offsetof(AGENTBLOCK, lCommand) == 0, "command word at 0");
KIV_STATIC_ASSERT(offsetof(AGENTBLOCK, szPath1) == 4, "first path at 4");
KIV_STATIC_ASSERT(offsetof(AGENTBLOCK, szPath2) == 516, "second path and test result at 516");

#endif /* KIV_AGENTPROTO_H */
