/*
 * The public headers of the common library and the agent protocol in a
 * C++98 translation unit, as the C++ compilers of the Windows 2000 and XP
 * driver kits see them.  Compiled with -std=c++98 and pedantic errors.
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

extern "C" int KivCommonHeadersFromCxx98(void)
{
    KIVPRINTERCFG cfg;
    WCHAR szOut[KIV_PATH_UNITS];
    AGENTBLOCK block;

    SetDefaultCfgData(&cfg);
    KivAgentSetTestResult(&block, 1);
    if (!BuildFullPath(L"C:\\dir", L"x.dll", szOut) || KivAgentGetTestResult(&block) != 1)
        return -1;
    return (int)sizeof(KIVPRINTERCFG) * 10 + (int)cfg.FileFormat;
}
