// Sensor settings over the video side of a camera: the 17 video properties
// of the capture filter (0..9 the processing-amplifier properties, 10..16
// the camera-control properties 0..6), and the meaning the camera gives the
// ones the exports use. The calls and the exports themselves are capture's
// (capture.h, capture/video_property_exports.cpp): they need its slots.
#pragma once

namespace nuv {

inline constexpr int kPropertyLed = 0;         // brightness
inline constexpr int kPropertyColorBar = 1;    // contrast
inline constexpr int kPropertyCameraNumber = 2;  // hue
inline constexpr int kPropertyGain = 9;
inline constexpr int kPropertyExposure = 14;   // camera control 4

}  // namespace nuv
