/*
 * KIV_STATIC_ASSERT(condition, message): a check made when the code is
 * compiled, for the public headers' record layouts.
 *
 * The headers are included by the printer driver's own components, built
 * with the compilers of the Windows 2000/XP driver kits: C89 and C++98,
 * which know neither _Static_assert nor static_assert.  For them the check
 * declares an array whose size is negative when the condition fails.  It
 * is an extern declaration, not a typedef: C89 forbids a typedef name
 * declared twice, so each typedef would need a name of its own, and two
 * headers with checks on the same line would clash; the same extern
 * declaration may be repeated.  The array is never defined nor used.
 *
 * Header only.  Usable from C and C++.
 */
#ifndef KIV_KIVASSERT_H
#define KIV_KIVASSERT_H

#if defined(__cplusplus) && __cplusplus >= 201103L
#define KIV_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KIV_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#else
#define KIV_STATIC_ASSERT(condition, message) \
    extern char kiv_static_assert_holds[(condition) ? 1 : -1]
#endif

#endif /* KIV_KIVASSERT_H */
