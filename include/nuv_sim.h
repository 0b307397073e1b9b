/*
 * nuv_sim: control of the simulated camera world that the nuv_sim library
 * runs on (the same exports as nuv, answered by virtual devices).
 *
 * Tests and demos use it to build the devices they need, to drive time, to
 * switch faults on and to look inside the virtual cameras. Unless a program
 * resets or configures it, the world holds the two cameras an application
 * meets: "NUV" at position 0 and "NUV2" at position 1.
 */
#ifndef NUV_SIM_H
#define NUV_SIM_H

#include "nuv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- World ------------------------------------------------------------- */

/* Empties the world: no devices, real-time clock, no faults, logs cleared. */
NUV_API void NUV_CALL NuvSimReset(void);

/* Restores the world an application meets (two cameras, real-time clock). */
NUV_API void NUV_CALL NuvSimResetDefault(void);

/* Adds a bare video device named friendlyName (UTF-8) at the end of the
   enumeration order; plugAndPlay 0 makes it a software source. Returns its
   device id (> 0). */
NUV_API int NUV_CALL NuvSimAddDevice(const char *friendlyName, int plugAndPlay);

/* Unplugs the device with this id. Returns 1 when it was there. */
NUV_API NuvBool NUV_CALL NuvSimRemoveDevice(int deviceId);

/* Number of devices plugged in, software sources included. */
NUV_API int NUV_CALL NuvSimDeviceCount(void);

/* Live COM objects of the simulated framework and live COM initialisations:
   both are 0 whenever the library holds nothing. */
NUV_API int NUV_CALL NuvSimLiveComObjects(void);
NUV_API int NUV_CALL NuvSimLiveComInits(void);

/* Files (HID handles) the library holds open in the simulated OS. */
NUV_API int NUV_CALL NuvSimOpenHandles(void);

/* ---- Clock ------------------------------------------------------------- */

/* 1: virtual time (sleeps and timed waits return at once and advance the
   clock); 0: real time. */
NUV_API void NUV_CALL NuvSimUseVirtualClock(int on);
/* The tick count in milliseconds, as the library's GetTickCount sees it. */
NUV_API unsigned int NUV_CALL NuvSimGetTickCount(void);
/* Sets or advances the virtual clock (ignored in real time). */
NUV_API void NUV_CALL NuvSimSetClock(unsigned int ms);
NUV_API void NUV_CALL NuvSimAdvanceClock(unsigned int ms);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NUV_SIM_H */
