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

/* ---- Control channel ---------------------------------------------------- */
/* Vendor HID interfaces and the camera firmware behind them. An interface is
   named by the id NuvSimAddHidInterface returns (> 0). Fault switches take a
   command code (0x00..0xFF, or -1 for any command) and act on the next count
   commands with that code, then switch themselves off. */

/* Adds a HID interface that CreateFileA opens at path. parentInstanceId is
   the parent device's instance ID, serialString the interface's serial
   number string (UTF-8), serialNumber what the firmware's parameter block
   holds in bytes 0..3 (its other content is seeded from it). inputLength and
   outputLength are the report lengths in bytes (0: the usual 65). */
NUV_API int NUV_CALL NuvSimAddHidInterface(const char *path, const char *parentInstanceId,
                                           const char *serialString, unsigned int serialNumber,
                                           int inputLength, int outputLength);
/* Unplugs it: its path no longer opens; open handles fail from then on. */
NUV_API NuvBool NUV_CALL NuvSimRemoveHidInterface(int hid);
/* Makes hid the control interface of the device deviceId. */
NUV_API NuvBool NUV_CALL NuvSimAttachHidInterface(int deviceId, int hid);
/* The id of the control interface of device deviceId, 0 when it has none. */
NUV_API int NUV_CALL NuvSimCameraHidInterface(int deviceId);
/* Number of HID interfaces present. */
NUV_API int NUV_CALL NuvSimHidInterfaceCount(void);
/* Changes the report lengths the interface reports and accepts. */
NUV_API NuvBool NUV_CALL NuvSimSetHidReportLengths(int hid, int inputLength, int outputLength);
/* The CreateFileA flags of the latest open of the interface; -1 for no such
   interface. */
NUV_API int NUV_CALL NuvSimHidOpenFlags(int hid);
/* Preparsed-data records handed out by HidD_GetPreparsedData and not freed. */
NUV_API int NUV_CALL NuvSimLiveHidPreparsedData(void);

/* Faults. */
/* The next count report writes fail (the device is gone); the firmware
   sees nothing. */
NUV_API NuvBool NUV_CALL NuvSimHidFailWrites(int hid, int count);
/* The firmware carries the command out, but no reply arrives. */
NUV_API NuvBool NUV_CALL NuvSimHidDropReplies(int hid, int command, int count);
/* The firmware refuses the command: it answers with this status and does
   nothing else. */
NUV_API NuvBool NUV_CALL NuvSimHidReplyStatus(int hid, int command, int count, int status);
/* The reply carries sequence number + sequenceDelta and command code +
   codeDelta (mod 256); with thenAnswer 1 the true reply follows it. */
NUV_API NuvBool NUV_CALL NuvSimHidReplyMismatched(int hid, int command, int count, int sequenceDelta,
                                                  int codeDelta, int thenAnswer);
/* The reply arrives delayMs after the command; replies to later commands
   queue behind it. */
NUV_API NuvBool NUV_CALL NuvSimHidReplyLate(int hid, int command, int count, unsigned int delayMs);
/* Flash write (0x20) or read (0x21) replies echo address + addressDelta. */
NUV_API NuvBool NUV_CALL NuvSimHidEchoAddress(int hid, int command, int count, int addressDelta);
/* Flash read replies carry data byte dataByte (0..55) with its lowest bit
   flipped. */
NUV_API NuvBool NUV_CALL NuvSimHidCorruptFlashRead(int hid, int count, int dataByte);
/* Switches every fault of the interface off. */
NUV_API NuvBool NUV_CALL NuvSimHidClearFaults(int hid);

/* Observation. */
/* Number of command reports the firmware received (failed writes are not
   received). */
NUV_API int NUV_CALL NuvSimHidCommandCount(int hid);
/* Copies received command report number index (0 = oldest), raw, report ID
   first, into report (at most size bytes). Returns the report's length, or
   -1 when there is no such report. */
NUV_API int NUV_CALL NuvSimHidCommandReport(int hid, int index, unsigned char *report, int size);
NUV_API NuvBool NUV_CALL NuvSimHidClearCommandLog(int hid);
/* Flash bytes at address (24-bit, 16 MiB). Peek reads; poke stores them as
   given, erase or not. */
NUV_API NuvBool NUV_CALL NuvSimFlashPeek(int hid, unsigned int address, unsigned char *data, int size);
NUV_API NuvBool NUV_CALL NuvSimFlashPoke(int hid, unsigned int address, const unsigned char *data, int size);
/* Number of 64 KiB flash sectors that hold anything but erased bytes. */
NUV_API int NUV_CALL NuvSimFlashUsedSectors(int hid);
/* GPIO port: direction bits (1 = output), output latch, and the levels that
   the outside drives on input pins. */
NUV_API NuvBool NUV_CALL NuvSimHidGpio(int hid, int *direction, int *output);
NUV_API NuvBool NUV_CALL NuvSimHidSetGpioExternal(int hid, int levels);
NUV_API NuvBool NUV_CALL NuvSimHidDigitalGains(int hid, unsigned short gains[4]);
/* The shutter value; -1 for no such interface. */
NUV_API int NUV_CALL NuvSimHidShutter(int hid);
/* The value last written to a sensor register, -1 when none was. */
NUV_API int NUV_CALL NuvSimHidRegister(int hid, int address);
/* Temperature of sensor 1 or 2, 0..255. */
NUV_API NuvBool NUV_CALL NuvSimHidSetTemperature(int hid, int selector, int value);
/* Firmware version text (UTF-8 bytes; the firmware sends at most 61). */
NUV_API NuvBool NUV_CALL NuvSimHidSetVersionText(int hid, const char *text);
/* The recognition byte and USB mode byte the firmware answers with. */
NUV_API NuvBool NUV_CALL NuvSimHidSetIdentity(int hid, int recognition, int usbMode);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NUV_SIM_H */
