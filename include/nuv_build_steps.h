/*
 * The steps of a camera open's capture-graph build, with the status number a
 * failed step leaves (numbers 3 to 12 are shared with the enumeration of
 * devices and formats). One table for the library, which names its build
 * statuses after it, and for the simulated world, whose fault switches fail
 * the framework call of a step by its number or its name.
 *
 * NUV_BUILD_STEPS(STEP) expands STEP(number, Name, "what fails") for every
 * step, in order.
 */
#ifndef NUV_BUILD_STEPS_H
#define NUV_BUILD_STEPS_H

#define NUV_BUILD_STEPS(STEP)                                                   \
    STEP(3, FilterGraph, "creating the filter graph")                           \
    STEP(4, DeviceEnumerator, "creating the system device enumerator")         \
    STEP(5, ClassEnumerator, "enumerating the video-input category")           \
    STEP(6, DisplayName, "reading a device's display name")                     \
    STEP(7, AddFilter, "binding the device or adding its filter to the graph") \
    STEP(8, NoDevices, "no plug-and-play device was counted")                   \
    STEP(9, NoDevice, "no device at the position")                              \
    STEP(10, CaptureGraphBuilder, "creating or attaching the graph builder")   \
    STEP(11, FindInterface, "finding the capture pin's stream configuration")  \
    STEP(12, SetFormat, "reading or setting the stream format")                 \
    STEP(13, SampleGrabber, "creating the sample grabber")                      \
    STEP(14, SetMediaType, "giving the grabber its media type")                 \
    STEP(15, AddGrabber, "adding the grabber to the graph")                     \
    STEP(16, Connect, "connecting the capture pin to the grabber")              \
    STEP(17, SetBufferSamples, "SetBufferSamples")                              \
    STEP(18, SetOneShot, "SetOneShot")                                          \
    STEP(19, SetCallback, "installing the sample callback")                     \
    STEP(20, MediaEvent, "querying the graph's media event")                    \
    STEP(21, MediaControl, "querying the graph's media control")                \
    STEP(22, Run, "running the graph")                                          \
    STEP(24, FirstFrame, "no first frame within 3000 ms")

#endif /* NUV_BUILD_STEPS_H */
