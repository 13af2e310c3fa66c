/*
 * The settings files: one KIVPRINTERCFG image per settings slot
 * ("kivusr1.bin" to "kivusr5.bin") and the current slot ("kivusrid.bin",
 * 4 bytes, little-endian), in the settings folder.
 *
 * The settings folder is the install folder when it exists, else the
 * Windows system folder; every operation works it out afresh.  The slots
 * are machine-wide, not per Windows account.  Nothing here reports an
 * error beyond its result.
 *
 * A file is replaced as a whole where the folder allows it: the new
 * content goes to a temporary file in the settings folder, which takes
 * the old file's place only once every byte was written, keeping the old
 * file's security and attributes.  So a save that fails, at any step,
 * leaves the old file as it was; and as before a save fails, silently,
 * while another handle to the file is open (a load in progress).  A user
 * who may write the files but not create files in their folder saves in
 * place, as a write over the old file.  Where the system removes the old
 * file but fails to put the new one there, the save puts it there itself.
 * A save also removes the temporary files that earlier saves, killed in
 * the middle, left behind.
 *
 * Usable from C and C++.
 */
#ifndef KIV_KIVFILES_H
#define KIV_KIVFILES_H

#include <windows.h>
#include "kivcfg.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_USERID_FILE_NAME  L"kivusrid.bin"
/* The slot files: "kivusr" + the user id in decimal + ".bin". */
#define KIV_SLOT_FILE_PREFIX  L"kivusr"
#define KIV_SLOT_FILE_SUFFIX  L".bin"

/* The current user id, always 1 to 5: the value of "kivusrid.bin" (a file
 * of fewer than 4 bytes replaces only the low-order bytes of 1), and 1
 * when the file is missing or holds 0 or more than 5. */
DWORD LoadUserID(void);

/* Writes dwUserId, unchecked, as "kivusrid.bin". */
void SaveUserId(DWORD dwUserId);

/*
 * Saves the record as the slot file its bUserId names, after bounding
 * bUserId in the caller's record (0 or above 5 becomes 1).  Once the slot
 * file is in place, that slot becomes the current one ("kivusrid.bin");
 * a save that fails leaves both files as they were.
 */
void SaveKivPrinterSettings(KIVPRINTERCFG *pCfg);

/*
 * Loads the record of the current slot.  Returns 1 when all 2612 bytes
 * were read (a longer file gives its first 2612 bytes); the record is
 * then repaired (CheckValidityDevOpt).  Returns 0 otherwise, with the
 * caller's record as it was apart from its two pointer slots, which point
 * at its own texts either way.
 */
int LoadKivPrinterSettings(KIVPRINTERCFG *pCfg);

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIVFILES_H */
