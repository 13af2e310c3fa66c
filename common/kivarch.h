/*
 * What differs between the two builds of the same sources: the x86 build
 * (Windows 2000 and XP) and the x64 build (64-bit Windows).  This is the
 * one place where product code asks which build it is; everything else is
 * the same in both.
 *
 *  - The printer-driver environment: a driver's user-side DLLs run in the
 *    processes that load them (the spooler, the tray, setup), so each
 *    build installs and opens the driver of its own architecture.
 *  - The settings record's two pointer slots (kivcfg.h): 4 bytes in the
 *    stored image in both builds.  32-bit code keeps the addresses of the
 *    record's own texts there, as the driver's components expect; a 64-bit
 *    address does not fit, so 64-bit code keeps each text's offset in the
 *    record there instead, a value that is never followed.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVARCH_H
#define KIV_KIVARCH_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN64
#define KIV_ARCH_NAME           "x64"
#define KIV_DRIVER_ENVIRONMENT  L"Windows x64"
typedef DWORD KIVTEXTSLOT;        /* the text's offset in the record */
#else
#define KIV_ARCH_NAME           "x86"
#define KIV_DRIVER_ENVIRONMENT  L"Windows NT x86"
typedef WCHAR *KIVTEXTSLOT;       /* the text's address */
#endif

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIVARCH_H */
