/*
 * A C translation unit that includes every public header of the common
 * library and the agent protocol, and calls into them, as a driver
 * component written in C would.  It is compiled as C89 with pedantic
 * errors: the driver kits of Windows 2000 and XP have no later C.
 */
#include "kivcfg.h"
#include "kivfiles.h"
#include "kivpath.h"
#include "kivclient.h"
#include "kivtraymutex.h"
#include "kivproduct.h"
#include "kivarch.h"
#include "kivseams.h"
#include "agentproto.h"

int KivCommonHeadersFromC(void)
{
    KIVPRINTERCFG cfg;
    WCHAR szOut[KIV_PATH_UNITS];
    AGENTBLOCK block;

    SetDefaultCfgData(&cfg);
    if (!IsValidFileFormat(cfg.FileFormat) || !IsUNCPath(L"\\\\a\\b") ||
        !BuildFullPath(L"C:\\dir", L"x.dll", szOut) || !IsMonochromeFormat(&cfg))
        return -1;
    /* One harmless call into every other header, so each must link. */
    KivSetSettingsWriteSeam(NULL);
    if (LoadUserID() < 1 || FileExists(L"C:\\") != 0 || IsTrayMutexExist() < 0)
        return -2;
    KivAgentSetTestResult(&block, 1);
    if (KivAgentGetTestResult(&block) != 1 || lstrlenA(KIV_PRINTER_NAME_A) == 0)
        return -3;
    return (int)sizeof(KIVPRINTERCFG) * 10 + (int)cfg.FileFormat;
}
