/*
 * nuv: control and capture for NUV / NUV2 USB image sensors.
 *
 * Every function is a plain C function with the platform's standard call
 * convention. A camera is addressed by its handle, which is the device
 * position that was passed to NuvOpen (or handed back by NuvOpenSerialNo);
 * -1 means "no camera" and is refused by every call that takes a handle.
 *
 * Results: NuvBool is one byte, 1 for success and 0 for failure; int results
 * use -1 for failure unless a function says otherwise. No function throws,
 * logs or keeps an error text: the result is the only report. A failed call
 * leaves its out-parameters unwritten unless its comment says otherwise.
 *
 * Lists (devices, formats) are comma-separated ANSI texts written into the
 * caller's buffer; a text of L characters needs a buffer of L + 2 bytes.
 */
#ifndef NUV_H
#define NUV_H

#if defined(_WIN32)
#  define NUV_CALL __stdcall
   /* The DLL's exports come from its .def file (MSVC-style decorated names),
      so building it needs no dllexport; clients import. */
#  if defined(NUV_BUILDING_LIBRARY)
#    define NUV_API
#  else
#    define NUV_API __declspec(dllimport)
#  endif
#else
#  define NUV_CALL
#  define NUV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One-byte boolean result: 1 success, 0 failure. */
typedef unsigned char NuvBool;

/* One entry of a pixel-defect list. 0xFFFF in either field marks an unused
   entry. A list is always 20 entries. */
typedef struct NuvDefectEntry {
    unsigned short column;
    unsigned short row;
} NuvDefectEntry;

/* ---- Library ---------------------------------------------------------- */

/* Copies "Version 1.1.0.0\r\nDate : <build date>\r\nTime : <build time>"
   (52 characters) with its terminator into buffer. Returns 1 on success;
   0 for a null buffer or a size below 53, in which case a usable buffer holds
   an empty string. Never writes at or past buffer[size]. Needs no camera. */
NUV_API NuvBool NUV_CALL NuvDLLVersion(char *buffer, int size);

/* Returns the byte length of the camera's most recent frame (what
   NuvReceiveImage copies); 0 when handle is -1, not open, or not streaming. */
NUV_API int NUV_CALL NuvGetBufferSize(int handle);

/* ---- Devices and formats ---------------------------------------------- */

/* Lists the plug-and-play video-capture devices, in position order, as
   "name,name,..." (commas inside names become '-'). Returns the number of
   devices listed (0 for none), or -1 when the next piece does not fit, with
   the pieces appended so far left in list. With a null list or a size below 1
   nothing is written: returns 0 when there is no device, else -1. */
NUV_API int NUV_CALL NuvGetDevice(char *list, int size);

/* As NuvGetDevice, but an entry of a "NUV" or "NUV2" camera whose control
   interface is found reads "NUV#<serial>" or "NUV2#<serial>". */
NUV_API int NUV_CALL NuvGetDeviceWithSerialNo(char *list, int size);

/* Lists the stream formats of the device at position (0..9) as
   "i,width,height,fps,format," per format. Returns 1 when listed (the list
   may be empty); 0 for a position out of range, a device that cannot be
   enumerated (list untouched), a null list or a size below 1 (nothing
   written), or a text that does not fit (the complete entries stay). */
NUV_API NuvBool NUV_CALL NuvGetFormat(int position, char *list, int size);

/* ---- Opening, frames, closing ----------------------------------------- */

/* Opens the device at position with the given size, rate (0 = the last used
   values) and format name ("YUY2", "MJPG", "H264", "IYUV", "RGB24", "RGB32",
   "I420", "RGB555"). The position becomes the camera handle. Returns 0 for a
   NUV/NUV2 camera opened with its control channel, 1 for any other device
   opened for video only, -1 on failure (nothing left open). */
NUV_API int NUV_CALL NuvOpen(int position, int width, int height,
                             double frameRate, const char *formatName);

/* Copies the camera's newest frame into image if it was not handed out yet,
   then corrects it (pixel defects, shading) where switched on. image must
   hold NuvGetBufferSize() bytes and, while a correction is on, width x height
   16-bit words. Returns 1 when a new frame was copied; 0 otherwise (image
   untouched). Never waits. */
NUV_API NuvBool NUV_CALL NuvReceiveImage(int handle, void *image);

/* Switches the LED off, closes the control channel and the capture graph and
   frees the handle. Closing a handle that is not open does nothing. */
NUV_API void NUV_CALL NuvClose(int handle);

/* Opens, in "YUY2", the camera listed by NuvGetDeviceWithSerialNo as serial
   ("NUV#XXXXXXXX" or "NUV2#XXXXXXXX", upper-case hex), and confirms its serial
   number by command. Returns 0 and stores the camera handle in *handle on
   success; -1 otherwise (*handle unwritten, no camera left open). */
NUV_API int NUV_CALL NuvOpenSerialNo(const char *serial, int *handle, int width,
                                     int height, double frameRate);

/* ---- Video properties -------------------------------------------------- */
/* Each returns 1 on success, 0 on failure (bad handle, value outside the
   accepted range or the camera's own range, property not supported, camera
   not streaming). Getters write their out-parameter only on success. */

NUV_API NuvBool NUV_CALL NuvSetLed(int handle, int level);       /* 0..64 */
NUV_API NuvBool NUV_CALL NuvGetLed(int handle, int *level);
NUV_API NuvBool NUV_CALL NuvSetGain(int handle, int gain);       /* 0..240 */
NUV_API NuvBool NUV_CALL NuvGetGain(int handle, int *gain);
NUV_API NuvBool NUV_CALL NuvSetExposure(int handle, int exposure); /* -13..0 */
NUV_API NuvBool NUV_CALL NuvGetExposure(int handle, int *exposure);
/* The camera number (1 or 2) also selects the correction data applied to
   frames; NuvGetCameraNo asks the camera. */
NUV_API NuvBool NUV_CALL NuvSetCameraNo(int handle, int cameraNo);
NUV_API NuvBool NUV_CALL NuvGetCameraNo(int handle, int *cameraNo);
NUV_API NuvBool NUV_CALL NuvSetColorBar(int handle, int on);     /* 0 or 1 */
NUV_API NuvBool NUV_CALL NuvGetColorBar(int handle, int *on);

/* ---- Vendor commands (control channel) ---------------------------------- */
/* Each is one exchange with the camera's firmware (NuvSetSerialNo rewrites
   the stored parameter block). Each returns 1 on success; 0 for a bad handle,
   a camera without control channel, an argument out of range (nothing sent),
   no reply within 5 s, or a reply with a non-zero status. */

NUV_API NuvBool NUV_CALL NuvCameraRecognition(int handle, unsigned char *value);
NUV_API NuvBool NUV_CALL NuvUSBMode(int handle, unsigned char *mode);
/* GPIO: "NUV" cameras only. */
NUV_API NuvBool NUV_CALL NuvGPIODirection(int handle, int direction);
NUV_API NuvBool NUV_CALL NuvGPIOOutput(int handle, int value);
NUV_API NuvBool NUV_CALL NuvGPIOInput(int handle, unsigned char *value);
/* selector 1 or 2; *value 0..255. */
NUV_API NuvBool NUV_CALL NuvTemperature(int handle, int selector, int *value);
/* Four 16-bit gains (higher bits ignored). */
NUV_API NuvBool NUV_CALL NuvSetDigitalGain(int handle, int gain1, int gain2,
                                           int gain3, int gain4);
NUV_API NuvBool NUV_CALL NuvGetDigitalGain(int handle, unsigned short *gain1,
                                           unsigned short *gain2,
                                           unsigned short *gain3,
                                           unsigned short *gain4);
/* Bits 0..15 of shutter must lie in 1..65530. */
NUV_API NuvBool NUV_CALL NuvSetShutter(int handle, int shutter);
NUV_API NuvBool NUV_CALL NuvGetShutter(int handle, unsigned short *shutter);
NUV_API NuvBool NUV_CALL NuvSetSerialNo(int handle, int serialNo);
NUV_API NuvBool NUV_CALL NuvGetSerialNo(int handle, int *serialNo);
/* Copies the firmware's version text (at most 61 characters) with its
   terminator into buffer. Fails for a null buffer or size 0; a text that does
   not fit leaves an empty string and fails. */
NUV_API NuvBool NUV_CALL NuvVersion(int handle, char *buffer, int size);
/* Writes bits 0..7 of value to the 16-bit register address. */
NUV_API NuvBool NUV_CALL NuvSetRegister(int handle, int address, int value);

/* ---- Corrections ("NUV2" cameras) -------------------------------------- */
/* cameraNo 1 or 2; mode 0 = 1280x720, 1 = 656x408, 2 = 328x204. Setters
   rewrite the camera's stored parameter block; getters read the library's
   copy of it. Each returns 1 on success, 0 on failure (nothing sent when an
   argument is refused). */

/* entries: 20 entries, each column/row inside the mode's image or 0xFFFF. */
NUV_API NuvBool NUV_CALL NuvSetPixelDefect(int handle, int cameraNo, int mode,
                                           const NuvDefectEntry *entries);
NUV_API NuvBool NUV_CALL NuvGetPixelDefect(int handle, int cameraNo, int mode,
                                           NuvDefectEntry *entries);
/* Switches pixel-defect correction of received frames: 0 off, 1 on. */
NUV_API NuvBool NUV_CALL NuvSetPixelDefectOnOff(int handle, int on);
NUV_API NuvBool NUV_CALL NuvGetPixelDefectOnOff(int handle, int *on);

/* centre: cx, cy; k2, k1, k0: one coefficient for each of the four sites of
   the 2x2 pixel pattern. gain = k2*r*r + k1*r + k0, r = distance to centre. */
NUV_API NuvBool NUV_CALL NuvSetShadingCorrection(int handle, int cameraNo,
                                                 int mode, const double *centre,
                                                 const double *k2,
                                                 const double *k1,
                                                 const double *k0);
NUV_API NuvBool NUV_CALL NuvGetShadingCorrection(int handle, int cameraNo,
                                                 int mode, double *centre,
                                                 double *k2, double *k1,
                                                 double *k0);
/* Switches shading correction of received frames: 0 off, 1 on. */
NUV_API NuvBool NUV_CALL NuvSetShadingCorrectionOnOff(int handle, int on);
NUV_API NuvBool NUV_CALL NuvGetShadingCorrectionOnOff(int handle, int *on);

/* ---- Firmware ---------------------------------------------------------- */

/* Reads the firmware image at path, erases the flash it will occupy and
   starts writing and verifying it in the background. Returns 1 when the job
   started; 0 otherwise (bad handle, no control channel, unreadable, empty or
   oversized image, a job already running, erase refused). */
NUV_API NuvBool NUV_CALL NuvSoftRewrite(int handle, const char *path);

/* Reports the rewrite job of this camera: 3 started, 1 writing, 2 verifying,
   0 done, -1 failed (or no job for this camera: then *elapsed and *progress
   are not written). *elapsed: whole seconds; *progress: percent. The first
   query that returns 0 or -1 for the job waits for the worker and releases
   it; later queries repeat the final answer. */
NUV_API int NUV_CALL NuvSoftRewriteState(int handle, int *elapsed,
                                         float *progress);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(NuvBool) == 1, "results are one byte");
static_assert(sizeof(NuvDefectEntry) == 4, "defect entries are 4 bytes");
#else
typedef char nuv_bool_is_one_byte_[sizeof(NuvBool) == 1 ? 1 : -1];
typedef char nuv_defect_entry_is_4_bytes_[sizeof(NuvDefectEntry) == 4 ? 1 : -1];
#endif

#endif /* NUV_H */
