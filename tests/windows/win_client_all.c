/* A Windows client linked against nuv.dll through its import library, as an
   existing application is: it calls every export on the real OS services.
   Where no camera is attached, lists are empty, opens fail, every call on a
   handle fails and leaves the caller's memory as it was, and the version text
   is right. Exits 0 when every answer is as expected. */
#include <stdio.h>
#include <string.h>

#include "nuv.h"

static int passes = 0;
static int failures = 0;

static void check(int ok, const char *what) {
    if (ok) {
        ++passes;
    } else {
        ++failures;
        printf("FAILED: %s\n", what);
    }
}

#define SENTINEL 0x5A

static int untouched(const void *memory, size_t bytes) {
    const unsigned char *p = (const unsigned char *)memory;
    size_t i;
    for (i = 0; i < bytes; ++i) {
        if (p[i] != SENTINEL) return 0;
    }
    return 1;
}

#define FRESH(x) memset(&(x), SENTINEL, sizeof(x))

int main(void) {
    char text[256];
    char small[52];
    unsigned char image[64];
    unsigned char byte;
    unsigned short words[4];
    int value;
    int handle;
    float progress;
    double centre[2], k2[4], k1[4], k0[4];
    NuvDefectEntry defects[20];
    const int handles[] = {-1, 0, 3};
    size_t h;

    /* Library */
    FRESH(text);
    check(NuvDLLVersion(text, 53) == 1 && strlen(text) == 52, "NuvDLLVersion: the 52-character text");
    check(strncmp(text, "Version 1.1.0.0\r\nDate : ", 24) == 0 && strncmp(text + 35, "\r\nTime : ", 9) == 0,
          "NuvDLLVersion: the text's pieces");
    FRESH(small);
    check(NuvDLLVersion(small, 52) == 0 && small[0] == '\0', "NuvDLLVersion: 52 bytes fail, empty string");
    check(NuvDLLVersion(NULL, 100) == 0, "NuvDLLVersion: null buffer fails");

    /* Devices and formats: no camera here */
    FRESH(text);
    check(NuvGetDevice(text, sizeof text) == 0 && text[0] == '\0', "NuvGetDevice: empty list");
    check(NuvGetDevice(NULL, 0) == 0, "NuvGetDevice: null list, no device");
    FRESH(text);
    check(NuvGetDeviceWithSerialNo(text, sizeof text) == 0 && text[0] == '\0', "NuvGetDeviceWithSerialNo: empty");
    FRESH(text);
    check(NuvGetFormat(0, text, sizeof text) == 0 && untouched(text, sizeof text), "NuvGetFormat: no device 0");
    check(NuvGetFormat(10, text, sizeof text) == 0 && untouched(text, sizeof text), "NuvGetFormat: position 10");
    check(NuvGetFormat(-1, text, sizeof text) == 0 && untouched(text, sizeof text), "NuvGetFormat: position -1");

    /* Opening */
    check(NuvOpen(0, 1280, 720, 30.0, "YUY2") == -1, "NuvOpen: no device");
    check(NuvOpen(0, 1280, 720, 30.0, "yuy2") == -1, "NuvOpen: unknown format name");
    FRESH(handle);
    check(NuvOpenSerialNo("NUV#0012ABCD", &handle, 1280, 720, 30.0) == -1 && untouched(&handle, sizeof handle),
          "NuvOpenSerialNo: no camera");

    for (h = 0; h < sizeof handles / sizeof handles[0]; ++h) {
        const int cam = handles[h];
        check(NuvGetBufferSize(cam) == 0, "NuvGetBufferSize: not open");
        FRESH(image);
        check(NuvReceiveImage(cam, image) == 0 && untouched(image, sizeof image), "NuvReceiveImage: not open");

        /* Video properties */
        check(NuvSetLed(cam, 10) == 0, "NuvSetLed");
        check(NuvSetGain(cam, 10) == 0, "NuvSetGain");
        check(NuvSetExposure(cam, -5) == 0, "NuvSetExposure");
        check(NuvSetCameraNo(cam, 1) == 0, "NuvSetCameraNo");
        check(NuvSetColorBar(cam, 1) == 0, "NuvSetColorBar");
        FRESH(value);
        check(NuvGetLed(cam, &value) == 0 && untouched(&value, sizeof value), "NuvGetLed");
        check(NuvGetGain(cam, &value) == 0 && untouched(&value, sizeof value), "NuvGetGain");
        check(NuvGetExposure(cam, &value) == 0 && untouched(&value, sizeof value), "NuvGetExposure");
        check(NuvGetCameraNo(cam, &value) == 0 && untouched(&value, sizeof value), "NuvGetCameraNo");
        check(NuvGetColorBar(cam, &value) == 0 && untouched(&value, sizeof value), "NuvGetColorBar");

        /* Vendor commands */
        FRESH(byte);
        check(NuvCameraRecognition(cam, &byte) == 0 && untouched(&byte, 1), "NuvCameraRecognition");
        check(NuvUSBMode(cam, &byte) == 0 && untouched(&byte, 1), "NuvUSBMode");
        check(NuvGPIODirection(cam, 1) == 0, "NuvGPIODirection");
        check(NuvGPIOOutput(cam, 1) == 0, "NuvGPIOOutput");
        check(NuvGPIOInput(cam, &byte) == 0 && untouched(&byte, 1), "NuvGPIOInput");
        check(NuvTemperature(cam, 1, &value) == 0 && untouched(&value, sizeof value), "NuvTemperature");
        check(NuvSetDigitalGain(cam, 1, 2, 3, 4) == 0, "NuvSetDigitalGain");
        FRESH(words);
        check(NuvGetDigitalGain(cam, &words[0], &words[1], &words[2], &words[3]) == 0 &&
                  untouched(words, sizeof words),
              "NuvGetDigitalGain");
        check(NuvSetShutter(cam, 100) == 0, "NuvSetShutter");
        check(NuvGetShutter(cam, &words[0]) == 0 && untouched(words, sizeof words), "NuvGetShutter");
        check(NuvSetSerialNo(cam, 0x1234) == 0, "NuvSetSerialNo");
        check(NuvGetSerialNo(cam, &value) == 0 && untouched(&value, sizeof value), "NuvGetSerialNo");
        FRESH(text);
        check(NuvVersion(cam, text, sizeof text) == 0 && untouched(text, sizeof text), "NuvVersion");
        check(NuvSetRegister(cam, 0x10, 1) == 0, "NuvSetRegister");

        /* Corrections */
        memset(defects, 0xFF, sizeof defects);
        check(NuvSetPixelDefect(cam, 1, 0, defects) == 0, "NuvSetPixelDefect");
        FRESH(defects);
        check(NuvGetPixelDefect(cam, 1, 0, defects) == 0 && untouched(defects, sizeof defects),
              "NuvGetPixelDefect");
        check(NuvSetPixelDefectOnOff(cam, 0) == 0, "NuvSetPixelDefectOnOff");
        FRESH(value);
        check(NuvGetPixelDefectOnOff(cam, &value) == 0 && untouched(&value, sizeof value),
              "NuvGetPixelDefectOnOff");
        memset(centre, 0, sizeof centre);
        memset(k2, 0, sizeof k2);
        memset(k1, 0, sizeof k1);
        memset(k0, 0, sizeof k0);
        check(NuvSetShadingCorrection(cam, 1, 0, centre, k2, k1, k0) == 0, "NuvSetShadingCorrection");
        FRESH(centre);
        FRESH(k2);
        FRESH(k1);
        FRESH(k0);
        check(NuvGetShadingCorrection(cam, 1, 0, centre, k2, k1, k0) == 0 && untouched(centre, sizeof centre) &&
                  untouched(k2, sizeof k2) && untouched(k1, sizeof k1) && untouched(k0, sizeof k0),
              "NuvGetShadingCorrection");
        check(NuvSetShadingCorrectionOnOff(cam, 0) == 0, "NuvSetShadingCorrectionOnOff");
        check(NuvGetShadingCorrectionOnOff(cam, &value) == 0 && untouched(&value, sizeof value),
              "NuvGetShadingCorrectionOnOff");

        /* Firmware */
        check(NuvSoftRewrite(cam, "C:\\no\\such\\image.bin") == 0, "NuvSoftRewrite");
        FRESH(value);
        FRESH(progress);
        check(NuvSoftRewriteState(cam, &value, &progress) == -1 && untouched(&value, sizeof value) &&
                  untouched(&progress, sizeof progress),
              "NuvSoftRewriteState");

        NuvClose(cam);
    }

    printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
