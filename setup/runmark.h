/*
 * The marks setup leaves for the Windows Installer package that runs it,
 * in a volatile key of the machine's registry: Windows drops the key when
 * it restarts, which is exactly when both marks stop being true.
 *
 *   "LastRun"         "installed" or "removed": the kind of the last
 *                     installation or removal that completed.  A run
 *                     withdraws the mark of its own kind when it starts,
 *                     so one that fails leaves none.  The package's
 *                     rollback actions act only on this mark (/rollback).
 *   "RestartPending"  1: a file in use goes, or comes, at the restart.
 *                     The package's closing action (kivmsica.dll) tells
 *                     Windows Installer, which then returns 3010.
 */
#ifndef KIV_RUNMARK_H
#define KIV_RUNMARK_H

#define KIV_RUN_MARK_KEY          L"Software\\KivImagePrinter30Setup"
#define KIV_RUN_MARK_LAST_RUN     L"LastRun"
#define KIV_RUN_MARK_INSTALLED    L"installed"
#define KIV_RUN_MARK_REMOVED      L"removed"
#define KIV_RUN_MARK_RESTART      L"RestartPending"

#endif
