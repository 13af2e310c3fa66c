/*
 * The tray utility's single-instance mutex, "KivPrinterTrayMutex30", in
 * wide-character form.  The tray uses its own ANSI unit; the name is the
 * same, so both reach the same kernel object.
 *
 * The unit holds at most one handle to the mutex, process-wide.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVTRAYMUTEX_H
#define KIV_KIVTRAYMUTEX_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_TRAY_MUTEX_NAME L"KivPrinterTrayMutex30"

/* Creates or opens the mutex (not owned, default security) and holds the
 * handle.  1 when the mutex existed already, else 0 (also when it could
 * not be had). */
int CreateTrayMutex(void);

/* As CreateTrayMutex, with a null DACL so that every account may open the
 * mutex.  0 without creating anything when the security descriptor cannot
 * be prepared. */
int CreateTrayMutexNullDacl(void);

/* 1 when the mutex exists and can be opened with full access; holds
 * nothing afterwards. */
int IsTrayMutexExist(void);

/* Forgets the held handle without closing it: the mutex goes on marking
 * this process until the process ends. */
void ReleaseTrayMutex(void);

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIVTRAYMUTEX_H */
