/*
 * Seams of the tray's test build (compiled with KIV_TRAY_TEST_SEAMS; the
 * delivered program has none).  Tests use them for what the platform under
 * test cannot produce: Wine reports the settings sheet's Cancel as IDOK.
 */
#ifndef KIV_TRAYSEAMS_H
#define KIV_TRAYSEAMS_H

#include <windows.h>
#include <winspool.h>

/* The result the editor sees from the driver's settings sheet, given the
 * result the system returned; may also put the sheet's input back into
 * its output, as a sheet confirmed without changes leaves it. */
LONG TraySeamSheetResult(LONG lSheetResult, DEVMODEA *pOut, const DEVMODEA *pIn);

/* The printer's level-8 record as the editor sees it, given the one the
 * spooler filled.  Wine always reports a default DEVMODE at level 8 (a
 * made-up one when none is stored); Windows reports none for a printer
 * without a stored default. */
void TraySeamPrinterInfo8(PRINTER_INFO_8A *pi8);

/* The printer's level-2 record as read: given a security descriptor, as
 * Windows always gives one (Wine gives none). */
void TraySeamPrinterInfo2(PRINTER_INFO_2A *pi2);

/* Notes what the store at this level (2 or 8) hands to the spooler:
 * whether a level-2 record carries a security descriptor. */
void TraySeamNoteStore(DWORD dwLevel, const BYTE *pInfo);

/* Nonzero: the store at this level (2 or 8) fails without reaching the
 * spooler, as a spooler that refuses it would.  Wine keeps the level-8
 * and the level-2 DEVMODE in one place, so a test tells the two stores
 * apart only when one of them fails. */
int TraySeamFailStore(DWORD dwLevel);

/* Nonzero: the machine's Run key cannot be opened to write, as for a
 * user without administrator rights. */
int TraySeamDenyMachineRun(void);

/* Nonzero: this add of the notification icon fails without reaching the
 * shell, as a busy Explorer refuses it at logon. */
int TraySeamFailIconAdd(void);

/* Nonzero: opening the printer to change its defaults is refused with
 * ERROR_ACCESS_DENIED, as for a user without administrator rights. */
int TraySeamDenyOpen(void);

/* Zero-filled blocks that end where an inaccessible page begins, and
 * their release (in place of GlobalAlloc and GlobalFree). */
HGLOBAL TraySeamGlobalAlloc(UINT uFlags, SIZE_T cbBytes);
HGLOBAL TraySeamGlobalFree(HGLOBAL hMem);

#endif /* KIV_TRAYSEAMS_H */
