/*
 * Resource and command identifiers that the tray utility and its resource
 * library "kivres.dll" agree on.  Plain #defines only: the resource
 * compiler reads this file too.
 */
#ifndef KIV_TRAYIDS_H
#define KIV_TRAYIDS_H

/* Resources of kivres.dll. */
#define IDI_KIVTRAY       101   /* the tray icon, 16x16 and 32x32 images */
#define IDR_KIVTRAYMENU   103   /* the tray menu; its sub-menu 0 pops up */

/* Commands, delivered as WM_COMMAND with the identifier in LOWORD(wParam). */
#define IDM_HELP          40001
#define IDM_EXIT          40002
#define IDM_AUTOLAUNCH    40003 /* appended by the tray, not in the library */
#define IDM_HOMEPAGE      40004

#endif /* KIV_TRAYIDS_H */
