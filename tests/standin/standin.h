/*
 * The stand-in printer driver's configuration DLL ("unidrvui.dll") as the
 * tests see it: how to make it fail, and what its DEVMODE and its settings
 * page look like.
 *
 * The stand-in answers the spooler the way a driver's configuration DLL
 * does: the size of its DEVMODE, a default DEVMODE, and one settings page
 * through the common property sheet UI.  A test switches its failures on
 * with DWORD values under KIV_STANDIN_KEY (HKEY_LOCAL_MACHINE); they are
 * read at every call, so a test may flip them between calls.
 */
#ifndef KIV_STANDIN_H
#define KIV_STANDIN_H

#include <windows.h>

#define KIV_STANDIN_KEY                "Software\\KivTest\\StandInDriver"
#define KIV_STANDIN_KEY_W              L"Software\\KivTest\\StandInDriver"
/* Nonzero: no DEVMODE can be made (DrvDocumentPropertySheets answers the
 * size query, then fails to fill a DEVMODE), so DocumentProperties fails
 * for every printer on the driver.  Wine 8's AddPrinterW then stores no
 * default DEVMODE but still creates the printer. */
#define KIV_STANDIN_FAIL_DEVMODE       "FailDefaultDevMode"
#define KIV_STANDIN_FAIL_DEVMODE_W     L"FailDefaultDevMode"
/* Nonzero: the settings sheet cannot be opened (no page is added and
 * PROPSHEETUI_REASON_INIT fails). */
#define KIV_STANDIN_FAIL_SHEET         "FailSheet"
#define KIV_STANDIN_FAIL_SHEET_W       L"FailSheet"

/* The DEVMODE: the public part (DEVMODEW) followed by a private part. */
typedef struct {
    DWORD dwSignature;    /* KIV_STANDIN_SIGNATURE */
    DWORD cApplied;       /* times OK was pressed on the settings page */
    DWORD dwReserved[2];
} KIVSTANDINPRIVATE;

#define KIV_STANDIN_SIGNATURE 0x5356494B  /* "KIVS" */

/* Defaults: portrait A4, one copy, 300 dpi. */
#define KIV_STANDIN_DEFAULT_ORIENTATION DMORIENT_PORTRAIT
#define KIV_STANDIN_DEFAULT_PAPER       DMPAPER_A4
#define KIV_STANDIN_DEFAULT_COPIES      1
#define KIV_STANDIN_DEFAULT_DPI         300

/*
 * The settings page (DM_IN_PROMPT): a dialog titled "Stand-in settings"
 * with a static text.  On OK (PSN_APPLY) it writes the DEVMODE it was
 * given (or the default one) to the output DEVMODE with the orientation
 * switched (portrait <-> landscape) and cApplied one higher, so a caller
 * sees that the page's values arrived.
 */
#define KIV_STANDIN_PAGE_TITLE  L"Stand-in settings"

#endif /* KIV_STANDIN_H */
