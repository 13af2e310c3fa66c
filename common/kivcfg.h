/*
 * The printer settings record KIVPRINTERCFG: its layout, its defaults, its
 * repair of out-of-range values and the helpers that classify its image
 * format code.
 *
 * The record is stored in the settings files exactly as it lies in memory
 * (kivfiles.h), so its layout is a file format shared with the printer
 * driver's own components: 2612 bytes, little-endian, no header.  Every
 * offset below is checked at compile time.  Fields that this library only
 * defaults are named after their offset; the driver gives them meaning.
 *
 * Integers are unsigned and every comparison is unsigned.  Texts are
 * zero-terminated UTF-16 inside fixed areas.  Gaps and the two bytes at
 * 1556 are never written by the library: they are stored and read back as
 * they stand.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVCFG_H
#define KIV_KIVCFG_H

#include <windows.h>
#include <stddef.h>

#include "kivarch.h"
#include "kivassert.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_CFG_SIZE            2612

/* Text areas, in UTF-16 units, terminator included. */
#define KIV_FILENAME_UNITS      406   /* szFileName, bytes 32 to 843 */
#define KIV_INITIALPATH_UNITS   405   /* szInitialPath, bytes 1558 to 2367 */
#define KIV_RUNAPPNAME_UNITS    200   /* szRunAppName */
#define KIV_RUNAPPPARAMS_UNITS  100   /* szRunAppParams */
#define KIV_TEXT2372_UNITS      100
#define KIV_TEXT2572_UNITS      20

/* FileFormat: the valid codes are 0 to 9 and 128 to 131. */
#define KIV_FORMAT_DEFAULT      5     /* the default, and what replaces an invalid code */

/* Bounds and replacement values of the repair. */
#define KIV_LEVEL_MAX           100
#define KIV_LEVEL_REPAIR        60
#define KIV_QFACTOR_MAX         100
#define KIV_QFACTOR_REPAIR      75
#define KIV_COUNTER_MAX         99990
#define KIV_DIGITS_MIN          3
#define KIV_DIGITS_MAX          5
#define KIV_USERID_MIN          1
#define KIV_USERID_MAX          5

/* The placeholder that the program parameters must hold, and what the
 * repair appends when it is missing. */
#define KIV_PARAMS_PLACEHOLDER  L"$f"
#define KIV_PARAMS_APPENDIX     L" $f "

typedef struct tagKIVPRINTERCFG {
    DWORD  dwValue0;                             /*    0: defaults only */
    DWORD  dwValue4;                             /*    4: defaults only */
    BYTE   bLevel;                               /*    8: 0 to 100 */
    BYTE   bSelect9;                             /*    9: 0 to 2 */
    BYTE   abGap10[2];                           /*   10 */
    DWORD  FileFormat;                           /*   12: image format and colour type */
    BYTE   bValue16;                             /*   16: defaults only */
    BYTE   bFormatOption;                        /*   17: 0 to 2 */
    BYTE   bFormatVariant;                       /*   18: 0 to 5 */
    BYTE   bSelect19;                            /*   19: 0 to 2 */
    BYTE   QFactor;                              /*   20: quality, 0 to 100 */
    BYTE   bCompression;                         /*   21: 0 to 2 */
    BYTE   abGap22[2];                           /*   22 */
    KIVTEXTSLOT pszInitialPath;                  /*   24: szInitialPath once set (kivarch.h) */
    KIVTEXTSLOT pszFileName;                     /*   28: szFileName once set (kivarch.h) */
    WCHAR  szFileName[KIV_FILENAME_UNITS];       /*   32: name text */
    DWORD  dwCounter;                            /*  844: at most 99990 */
    DWORD  dwNumofDigits;                        /*  848: 3 to 5 */
    DWORD  adwValues852[7];                      /*  852: defaults only */
    FLOAT  fFactor1;                             /*  880: 1.0 to 3.0 */
    FLOAT  fFactor2;                             /*  884: 1.0 to 3.0 */
    DWORD  adwValues888[5];                      /*  888: defaults only */
    BYTE   bSelect908;                           /*  908: 0 to 2 */
    BYTE   abGap909[3];                          /*  909 */
    DWORD  dwValue912;                           /*  912: defaults only */
    BYTE   bValue916;                            /*  916: defaults only */
    BYTE   abGap917[3];                          /*  917 */
    DWORD  dwValue920;                           /*  920: defaults only */
    BYTE   bValue924;                            /*  924: defaults only */
    BYTE   abGap925[3];                          /*  925 */
    DWORD  bRunApp;                              /*  928: flag, run a program after printing */
    DWORD  bNoAppCheck;                          /*  932: flag, skip the program check */
    WCHAR  szRunAppName[KIV_RUNAPPNAME_UNITS];   /*  936: program to run */
    WCHAR  szRunAppParams[KIV_RUNAPPPARAMS_UNITS]; /* 1336: its parameters, with "$f" */
    DWORD  dwValue1536;                          /* 1536: defaults only */
    DWORD  dwValue1540;                          /* 1540: defaults only */
    BYTE   bUserId;                              /* 1544: settings slot, 1 to 5 */
    BYTE   bHidePrintCfgDialog;                  /* 1545: 0 or 1 */
    BYTE   abGap1546[2];                         /* 1546 */
    DWORD  dwValue1548;                          /* 1548: defaults only */
    DWORD  dwValue1552;                          /* 1552: defaults only */
    BYTE   abKeep1556[2];                        /* 1556: never written */
    WCHAR  szInitialPath[KIV_INITIALPATH_UNITS]; /* 1558: output folder */
    DWORD  dwValue2368;                          /* 2368: defaults only */
    WCHAR  szText2372[KIV_TEXT2372_UNITS];       /* 2372: defaults only */
    WCHAR  szText2572[KIV_TEXT2572_UNITS];       /* 2572: defaults only */
} KIVPRINTERCFG, *PKIVPRINTERCFG;

/*
 * Fills the record with its defaults and returns it.  Only the bytes the
 * defaults name are written: gaps, the bytes at 1556 and the tails of the
 * two long text areas (past the first 403 and 401 bytes) keep what they
 * held.
 */
KIVPRINTERCFG *SetDefaultCfgData(KIVPRINTERCFG *pCfg);

/*
 * Repairs every out-of-range field in place and points the two pointer
 * slots at the record's own texts.  Before any text is read, each text
 * area that holds no terminator is terminated at its last unit.  A record
 * whose fields are all in range is left byte for byte as it was (the
 * pointer slots apart).
 *
 * The output folder is turned into its UNC form when it lies on a mapped
 * network drive and that form has at most 255 characters (see
 * CheckIfNetworkPath in kivpath.h); a folder on a local drive of this
 * session that does not exist becomes "c:\".  One on a drive letter that
 * is remote or unknown here (mapped in another logon session) is kept.
 *
 * The program check (bRunApp on, bNoAppCheck off) clears bRunApp when
 * the program path has 5 characters or fewer or cannot be reached where
 * it is judged (not a UNC path, not on a remote or unknown drive), and
 * appends " $f " to parameters that lack "$f".  When " $f " does not fit
 * the 100-unit parameter area, the parameters are left as they are and
 * bRunApp is cleared: the program would otherwise run without the
 * printed file, and cutting the user's parameters short could change
 * what it does.
 */
void CheckValidityDevOpt(KIVPRINTERCFG *pCfg);

/*
 * The record's two main texts, in both builds.  The pointer slots hold
 * the texts' addresses only in 32-bit code and only once a load, a repair
 * or the defaults have set them; these need neither.
 */
WCHAR *KivCfgInitialPath(KIVPRINTERCFG *pCfg);
WCHAR *KivCfgFileName(KIVPRINTERCFG *pCfg);

/* Sets the two pointer slots again, as a load, a repair and the defaults
 * do: for a record copied or read by other means (kivarch.h says what the
 * slots hold in each build). */
void SetCfgTextSlots(KIVPRINTERCFG *pCfg);

/* 1 for the codes 0 to 9 and 128 to 131, else 0. */
int IsValidFileFormat(DWORD dwFileFormat);

/* The colour type text of the record's FileFormat ("True color",
 * "Grayscale", "256 color", "Monochrome", or "unknown file format");
 * a constant text owned by the library. */
const WCHAR *GetColorTypeName(const KIVPRINTERCFG *pCfg);

int IsFamily0Format(const KIVPRINTERCFG *pCfg);            /* 0, 1 */
int IsFamily0Grayscale(const KIVPRINTERCFG *pCfg);         /* 1 */
int IsFamily2Format(const KIVPRINTERCFG *pCfg);            /* 2 to 5 */
int IsFamily2WithFormatOption(const KIVPRINTERCFG *pCfg);  /* 2 to 5, bFormatOption 1 or 2 */
int IsFamily6Format(const KIVPRINTERCFG *pCfg);            /* 6 to 9 */
int Is256ColorFormat(const KIVPRINTERCFG *pCfg);           /* 4, 8, 129 */
int IsMonochromeFormat(const KIVPRINTERCFG *pCfg);         /* 5, 9, 128 */

/* Mode 1 allows only the monochrome codes 5 and 9: any other FileFormat
 * becomes 5 with bFormatOption 1 and bFormatVariant 1 (128 included).
 * Other modes change nothing. */
#define KIV_FORMAT_MODE_MONOCHROME 1
void ValidateFileFormat(int iMode, KIVPRINTERCFG *pCfg);

#ifdef __cplusplus
}
#endif


/* The layout is a file format, the same in both builds: the two pointer
 * slots keep their 4 bytes in 64-bit code too (kivarch.h). */
KIV_STATIC_ASSERT(sizeof(KIVPRINTERCFG) == KIV_CFG_SIZE, "KIVPRINTERCFG is 2612 bytes");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue0) == 0, "0");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue4) == 4, "4");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bLevel) == 8, "8");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bSelect9) == 9, "9");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abGap10) == 10, "10");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, FileFormat) == 12, "12");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bValue16) == 16, "16");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bFormatOption) == 17, "17");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bFormatVariant) == 18, "18");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bSelect19) == 19, "19");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, QFactor) == 20, "20");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bCompression) == 21, "21");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abGap22) == 22, "22");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, pszInitialPath) == 24, "24");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, pszFileName) == 28, "28");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, szFileName) == 32, "32");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwCounter) == 844, "844");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwNumofDigits) == 848, "848");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, adwValues852) == 852, "852");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, fFactor1) == 880, "880");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, fFactor2) == 884, "884");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, adwValues888) == 888, "888");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bSelect908) == 908, "908");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abGap909) == 909, "909");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue912) == 912, "912");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bValue916) == 916, "916");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abGap917) == 917, "917");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue920) == 920, "920");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bValue924) == 924, "924");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abGap925) == 925, "925");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bRunApp) == 928, "928");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bNoAppCheck) == 932, "932");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, szRunAppName) == 936, "936");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, szRunAppParams) == 1336, "1336");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue1536) == 1536, "1536");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue1540) == 1540, "1540");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bUserId) == 1544, "1544");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, bHidePrintCfgDialog) == 1545, "1545");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abGap1546) == 1546, "1546");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue1548) == 1548, "1548");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue1552) == 1552, "1552");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, abKeep1556) == 1556, "1556");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, szInitialPath) == 1558, "1558");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, dwValue2368) == 2368, "2368");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, szText2372) == 2372, "2372");
KIV_STATIC_ASSERT(offsetof(KIVPRINTERCFG, szText2572) == 2572, "2572");

#endif /* KIV_KIVCFG_H */
