/*
 * A C translation unit that includes every public header of the common
 * library and calls into it, as a driver component written in C would.
 */
#include "kivcfg.h"
#include "kivfiles.h"
#include "kivpath.h"
#include "kivclient.h"
#include "kivtraymutex.h"
#include "kivseams.h"

int KivCommonHeadersFromC(void)
{
    KIVPRINTERCFG cfg;
    WCHAR szOut[KIV_PATH_UNITS];

    SetDefaultCfgData(&cfg);
    if (!IsValidFileFormat(cfg.FileFormat) || !IsUNCPath(L"\\\\a\\b") ||
        !BuildFullPath(L"C:\\dir", L"x.dll", szOut) || !IsMonochromeFormat(&cfg))
        return -1;
    /* One harmless call into every other header, so each must link. */
    KivSetSettingsWriteSeam(NULL);
    if (LoadUserID() < 1 || FileExists(L"C:\\") != 0 || IsTrayMutexExist() < 0)
        return -2;
    return (int)sizeof(KIVPRINTERCFG) * 10 + (int)cfg.FileFormat;
}
