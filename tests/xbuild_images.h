/*
 * The records of xbuild_images.c: a settings record and a shared block
 * holding a copy request, laid out by this build's compiler.  The same
 * records laid out by the other build's compiler are files beside the
 * tests (KIV_XBUILD_CFG_IMAGE, KIV_XBUILD_BLOCK_IMAGE).
 */
#ifndef KIV_XBUILD_IMAGES_H
#define KIV_XBUILD_IMAGES_H

#include "kivcfg.h"
#include "agentproto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The copy request of the block: a local file into the test share. */
#define XBUILD_COPY_SOURCE L"C:\\xbuild\\page.txt"
#define XBUILD_COPY_TARGET L"\\\\kivtest\\share\\xbuild-page.txt"

extern const KIVPRINTERCFG g_xbuildCfg;
extern const AGENTBLOCK g_xbuildBlock;

#ifdef __cplusplus
}
#endif

#endif /* KIV_XBUILD_IMAGES_H */
