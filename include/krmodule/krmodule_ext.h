/**
 * @file krmodule/krmodule_ext.h
 * @brief krmodule - extensions to the terminal interface.
 *
 * Calls a terminal may use beside those of <krmodule/krmodule.h>, which stays exactly the
 * module's defined interface. They form a family of their own, krx_*, so that a terminal written
 * against the defined interface alone never meets them.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KRMODULE_KRMODULE_EXT_H
#define KRMODULE_KRMODULE_EXT_H

#include <krmodule/krmodule.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Waits until the module has caught up with what it was given: every section that
 * kr_T2K_SendRetrieved accepted before the call has been handled in full, with everything it
 * led to (host calls made, filters and shared-filter destinations set or stopped, an EPG parsed,
 * published and stored, card exchanges and SetDescrambler calls made, ECM filters asked for),
 * and no worker holds such work. Sections that other threads hand over during the wait are
 * waited for as well. Holds no module lock while it waits; the section path pays nothing for it.
 *
 * A terminal that reads a recording uses it to go no faster than the module: a tuner gives the
 * module milliseconds between sections, a file read at full speed does not.
 *
 * Calls no host slot. A terminal reading a file calls it after each section it hands over,
 * before it filters the packets that follow.
 *
 * @param limitMs the longest wait in milliseconds.
 * @return 0 when caught up, 1 when the limit passed first, -1 when called on a module thread (a
 *         content function or any slot the module calls) or while the module does not run.
 */
KR_API int32_t krx_WaitCaughtUp(uint32_t limitMs);

#ifdef __cplusplus
}
#endif

#endif /* KRMODULE_KRMODULE_EXT_H */
