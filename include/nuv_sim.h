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

/* Empties the world: no devices, real-time clock, no faults, logs cleared,
   COM initialisations forgotten (a thread that still holds one balances it
   without counting). Until a program resets or configures it, the world
   holds the two cameras an application meets, and its clock is whatever
   the program asked for, in whatever order it asked. */
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

/* Files (HID handles, threads) the library holds open in the simulated OS. */
NUV_API int NUV_CALL NuvSimOpenHandles(void);

/* COM on the calling thread, as an application initialises it before it
   calls the library: 0 multithreaded, 1 apartment-threaded. Returns the
   HRESULT (S_OK 0, S_FALSE 1, RPC_E_CHANGED_MODE for the other model while
   the thread holds one). Each success is balanced by NuvSimComUninitialize
   on the same thread. */
NUV_API int NUV_CALL NuvSimComInitialize(int apartmentThreaded);
NUV_API void NUV_CALL NuvSimComUninitialize(void);

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
   sees nothing. With After, the first skip writes pass. */
NUV_API NuvBool NUV_CALL NuvSimHidFailWrites(int hid, int count);
NUV_API NuvBool NUV_CALL NuvSimHidFailWritesAfter(int hid, int skip, int count);
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
/* As the four above, but the first skip matching commands pass
   untouched. */
NUV_API NuvBool NUV_CALL NuvSimHidDropRepliesAfter(int hid, int command, int skip, int count);
NUV_API NuvBool NUV_CALL NuvSimHidReplyStatusAfter(int hid, int command, int skip, int count, int status);
NUV_API NuvBool NUV_CALL NuvSimHidEchoAddressAfter(int hid, int command, int skip, int count, int addressDelta);
NUV_API NuvBool NUV_CALL NuvSimHidCorruptFlashReadAfter(int hid, int skip, int count, int dataByte);
/* Queues one reply report, any bytes, any length (0..65535): the next
   command is answered with exactly these bytes instead of the firmware's
   reply (the firmware does not see the command). Queued replies answer the
   next commands in order. */
NUV_API NuvBool NUV_CALL NuvSimHidScriptReply(int hid, const unsigned char *report, int length);
/* Holds the writer of the (skip + 1)-th command with this code (-1: any)
   inside its write, before the firmware sees it, until NuvSimHidResume:
   what a caller sees meanwhile (a firmware rewrite's state and progress)
   can be read at a chosen chunk. WaitPaused waits (in real time, at most
   timeoutMs) until a writer is held there. */
NUV_API NuvBool NUV_CALL NuvSimHidPauseAt(int hid, int command, int skip);
NUV_API NuvBool NUV_CALL NuvSimHidWaitPaused(int hid, unsigned int timeoutMs);
NUV_API NuvBool NUV_CALL NuvSimHidResume(int hid);
/* Switches every fault of the interface off (a held writer goes on). */
NUV_API NuvBool NUV_CALL NuvSimHidClearFaults(int hid);

/* Observation. */
/* Number of command reports the firmware received (failed writes are not
   received); the log keeps the latest 131072. Reading one report costs the
   same however long the log is. */
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

/* ---- Memory ------------------------------------------------------------- */

/* The library's large buffers (frame buffers, gain maps, firmware images):
   after skip allocations pass, the next count fail as if memory ran out.
   (0, 0) switches it off; a reset of the world does too. */
NUV_API void NUV_CALL NuvSimFailAllocations(int skip, int count);
/* Large buffers the library holds now: 0 whenever it holds nothing. */
NUV_API int NUV_CALL NuvSimLiveAllocations(void);

/* ---- Threads ------------------------------------------------------------ */

/* The next count thread creations of the library fail. */
NUV_API void NUV_CALL NuvSimFailThreadCreations(int count);
/* 1: threads the library creates from now on do not run until something
   waits for them or holding is switched off; 0: they start at once, and so
   do the threads held so far. */
NUV_API void NUV_CALL NuvSimHoldNewThreads(int on);

/* ---- Framework and device-service calls ----------------------------------
   Any call of the simulated OS that the library checks can fail on request,
   by name: the capture-graph build steps listed at NuvSimFailBuildStep, and
   "CreateFileA" (of a HID device path), "HidD_GetPreparsedData",
   "HidP_GetCaps", "HidD_GetSerialNumberString",
   "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
   "CM_Get_Parent", "CM_Get_Device_IDA", "GetNumberOfCapabilities",
   "GetStreamCaps" (argument: the capability index), "Stop" (the graph's
   media control refuses to stop: the graph keeps running) and
   "WaitForCompletion" (the wait after a stop times out). Of the calls whose
   argument matches (-1: any), the first skip pass and the next count fail
   (-1: every one until cleared; 0 switches the call's fault off). */
NUV_API NuvBool NUV_CALL NuvSimFailCall(const char *name, long long argument, int skip, int count);
NUV_API void NUV_CALL NuvSimClearCallFaults(void);

/* ---- Video devices ----------------------------------------------------- */
/* Device ids are those of NuvSimAddDevice. Unless configured otherwise a
   device offers YUY2 at 1280x720, 656x408 and 328x204, each at 30 and 60
   frames per second (16 bits per pixel), and five video properties: index
   0 brightness (the LED) 0..64, 1 contrast (the colour bar) 0..1, 2 hue (the
   camera number) 1..2, 9 gain 0..240, 14 (camera control 4) exposure
   -13..0. A running capture graph delivers generated frames at the frame
   rate it was set to, paced by the simulator's clock. Generated frames are
   10-bit values in 16-bit little-endian words: an evenly lit target (640)
   darkened by the inverse of the stored shading set of the camera number
   behind hue, the stored defects of that set at 1023, shaped by the
   sensor's controls (see "The sensor's controls" below), and the frame
   counter, 8 bits per word, in the first four words (so they read 0..255:
   dark pixels at the top left of a picture). */

/* Adds one of the library's cameras at the end of the enumeration order: a
   video device named friendlyName (UTF-8) and its control interface, a HID
   interface whose firmware holds serialNumber, whose serial-number string is
   its eight upper-case hexadecimal digits and whose parent instance ID ties
   it to the video device. Returns the device id (> 0), 0 on failure. */
NUV_API int NUV_CALL NuvSimAddCamera(const char *friendlyName, unsigned int serialNumber, int plugAndPlay);

/* Unplugs a device and its control interface (if any): it leaves the
   enumeration, a running graph of it delivers no more frames, and open HID
   handles fail. */
NUV_API NuvBool NUV_CALL NuvSimUnplugCamera(int deviceId);

/* The parent instance key of the device ("7&" and eight lower-case hex
   digits unless set), as it occurs in the display name. Set: any text;
   devices given the same key share a USB parent, as far as the key rule can
   tell. Get copies it with its terminator (at most size bytes). */
NUV_API NuvBool NUV_CALL NuvSimSetInstanceKey(int deviceId, const char *key);
NUV_API NuvBool NUV_CALL NuvSimGetInstanceKey(int deviceId, char *key, int size);
/* The parent instance ID a HID interface needs to belong to the device
   (e.g. "USB\VID_1D6B&PID_0102&MI_01\7&2A1B3D01&0&0001"). */
NUV_API NuvBool NUV_CALL NuvSimGetParentInstanceId(int deviceId, char *id, int size);
/* Replaces the display name of the device's moniker (UTF-8); null or ""
   goes back to the one made from the key. */
NUV_API NuvBool NUV_CALL NuvSimSetDisplayName(int deviceId, const char *displayName);
/* Renames the device (UTF-8, any length, commas allowed); null removes its
   "FriendlyName" property. */
NUV_API NuvBool NUV_CALL NuvSimSetFriendlyName(int deviceId, const char *friendlyName);
/* 1: binding the device's moniker to its capture filter fails. */
NUV_API NuvBool NUV_CALL NuvSimSetFilterFails(int deviceId, int fails);

/* Capabilities of the capture pin, in order. subtype: a format name of the
   library ("YUY2", "MJPG", "H264", "IYUV", "RGB24", "RGB32", "I420",
   "RGB555", "Y16") or any four-character code ("NV12"). formatType: 0
   VIDEOINFOHEADER, 1 VIDEOINFOHEADER2, 2 another format type. A capability
   takes frame intervals from frameInterval (its fastest rate) to 10000000
   (one frame per second); SetFormat refuses any other. Returns the number
   of capabilities now offered, or -1. */
NUV_API NuvBool NUV_CALL NuvSimClearCapabilities(int deviceId);
NUV_API int NUV_CALL NuvSimAddCapability(int deviceId, const char *subtype, int width, int height, int bitCount,
                                         long long frameInterval, int formatType);
/* The size of one capability record the pin reports (128 unless set). */
NUV_API NuvBool NUV_CALL NuvSimSetCapabilitySize(int deviceId, int bytes);

/* The format the capture pin was set to (SetFormat). Returns 0 when it was
   never set; any out-pointer may be null. subtype receives the 16 GUID
   bytes. */
NUV_API NuvBool NUV_CALL NuvSimGetDeviceFormat(int deviceId, int *width, int *height, long long *frameInterval,
                                               unsigned char subtype[16]);

/* Video property index 0..16 (0..9 amplifier, 10..16 camera control 0..6):
   supported or not, range and current value. */
NUV_API NuvBool NUV_CALL NuvSimSetVideoProperty(int deviceId, int index, int supported, int minimum,
                                                int maximum, int value);
NUV_API NuvBool NUV_CALL NuvSimGetVideoProperty(int deviceId, int index, int *value);

/* Frames. source: 0 generated at the frame rate (default), 1 only pushed
   frames, 2 none at all. It takes effect at once (a frame already due is not
   sent once generating is off) and stays the device's setting, for later
   opens too, until changed or the world is reset. */
NUV_API NuvBool NUV_CALL NuvSimSetFrameSource(int deviceId, int source);
/* Hands one sample (length bytes, may be 0) with this sample time to the
   device's running graph, and switches the device to pushed frames. With a
   graph running, returns once the grabber's callback has had it; otherwise
   the sample waits for the next run. */
NUV_API NuvBool NUV_CALL NuvSimPushFrame(int deviceId, const void *bytes, int length, double sampleTime);
/* Samples the device's graphs delivered so far (generated and pushed).
   Both of these answer for an unplugged device too (until the world is
   reset), so a graph left running on it can be seen; -1 for an id never
   given. */
NUV_API long long NUV_CALL NuvSimFramesDelivered(int deviceId);
/* Capture graphs of the device running now. */
NUV_API int NUV_CALL NuvSimRunningStreams(int deviceId);

/* Faults of the capture graph. 1: Run fails for graphs with this device. */
NUV_API NuvBool NUV_CALL NuvSimSetRunFails(int deviceId, int fails);
/* Fails the framework step behind a build status of the library: 3 filter
   graph, 4 device enumerator, 5 class enumerator, 6 display name, 7 adding
   the capture filter, 10 capture graph builder, 11 FindInterface, 12
   SetFormat, 13 sample grabber, 14 SetMediaType, 15 adding the grabber, 16
   Connect, 17 SetBufferSamples, 18 SetOneShot, 19 SetCallback, 20 media
   event, 21 media control, 22 Run, 24 first frame (a graph started sends
   nothing). The next `times` calls fail (-1: all until cleared, 0: clear);
   with After, the first skip calls pass (a step that repeats per device,
   such as the display name, fails at a later position).
   By name: "FilterGraph", "DeviceEnumerator", "ClassEnumerator",
   "DisplayName", "AddFilter", "CaptureGraphBuilder", "FindInterface",
   "SetFormat", "SampleGrabber", "SetMediaType", "AddGrabber", "Connect",
   "SetBufferSamples", "SetOneShot", "SetCallback", "MediaEvent",
   "MediaControl", "Run", "FirstFrame". */
NUV_API NuvBool NUV_CALL NuvSimFailBuildStep(int status, int times);
NUV_API NuvBool NUV_CALL NuvSimFailBuildStepAfter(int status, int skip, int times);
NUV_API NuvBool NUV_CALL NuvSimFailBuildStepNamed(const char *name, int times);
/* Clears every call fault (as NuvSimClearCallFaults). */
NUV_API void NUV_CALL NuvSimClearBuildFaults(void);

/* Device information sets handed out by SetupDiGetClassDevsA and not yet
   destroyed. */
NUV_API int NUV_CALL NuvSimLiveDeviceInfoSets(void);

/* ---- Optics ------------------------------------------------------------- */
/* The sensor's own view of the world, independent of the correction data
   stored in the camera, so that a calibration measured from frames can be
   checked against the truth. Until NuvSimSetScene switches a device to its
   optics, its frames are shaped by the stored data (as described above).
   Frames rendered from the optics are 10-bit values in 16-bit words with the
   frame counter in the first four words; they do not depend on the camera
   number. Each returns 1 on success, 0 for no such device or a value out of
   range (nothing changed). */

/* Flat light of this 10-bit level (0 = dark, at most 1023) and switches the
   device to its optics; a level below 0 switches back to frames shaped by
   the stored data. */
NUV_API NuvBool NUV_CALL NuvSimSetScene(int deviceId, double level);
/* Lens fall-off: the relative illumination at radius r from the centre is
   siteFactors[site] / (1 + strength * (r / halfDiagonal)^2), the centre a
   fraction of the frame (0.5, 0.5 = middle), halfDiagonal half the frame's
   diagonal in pixels, site the 2x2 pattern position numbered as the
   library's shading numbers its sites (0: even row, odd column; 1: even,
   even; 2: odd, odd; 3: odd, even). strength > -1; null siteFactors: all 1.
   Default: no fall-off. */
NUV_API NuvBool NUV_CALL NuvSimSetLens(int deviceId, double centreX, double centreY, double strength,
                                       const double siteFactors[4]);
/* A sensor pixel stuck at value (0..1023: 1023 hot, 0 dead) at fractional
   position fx, fy (0 <= f < 1), so that it exists in every mode: in a frame
   of width x height it is column floor(fx * width), row floor(fy * height).
   At most 4096 per device. */
NUV_API NuvBool NUV_CALL NuvSimAddSensorDefect(int deviceId, double fx, double fy, int value);
NUV_API NuvBool NUV_CALL NuvSimClearSensorDefects(int deviceId);
/* Gaussian read noise of sigma counts (0: none); frame n of a seed always
   carries the same noise. */
NUV_API NuvBool NUV_CALL NuvSimSetNoise(int deviceId, double sigma, unsigned int seed);
/* Shot noise: the sensor collects electronsPerCount electrons for each count
   of light at the reference exposure and unity gain, and their Poisson
   spread (drawn with the seed of NuvSimSetNoise) grows with the signal:
   sigma^2 = read^2 + gain^2 * light * exposure / electronsPerCount, in
   counts. 0 (the default) switches it off. */
NUV_API NuvBool NUV_CALL NuvSimSetShotNoise(int deviceId, double electronsPerCount);

/* ---- The sensor's controls ------------------------------------------------
   Every generated frame, from the optics or from the stored data, is shaped
   by the camera's controls as a real sensor's image is; the light (scene,
   lens, stored shading) is not, so the stored correction data keeps
   describing the lens alone. For a pixel of site s (numbered as the
   library's shading numbers its sites) receiving light L:
     value = clamp(round(4 * led + L * t * (1 + gain / 16) * g[s] / 256), 0, 1023)
   with t = 2^(exposure + 6) * shutter / 1000 (the exposure property is the
   log2 of the exposure time in seconds; shutter and the four digital gains
   g[0..3] are the firmware's, set with NuvSetShutter and NuvSetDigitalGain).
   At the values a camera starts with (LED 0, gain 0, exposure -6, shutter
   1000, digital gains 0x0100) the image is the light, exactly. Stuck pixels
   (sensor defects, and the stored defects of frames shaped by the stored
   data) keep their value. The colour bar (contrast 1) replaces the image
   with eight vertical bars of the luminance of full colour bars, white to
   black: 1023, 906, 717, 601, 422, 306, 117, 0. The frame counter stays in
   the first four words. */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NUV_SIM_H */
