// Sensor settings over the video side of a camera: the 17 video properties
// of the capture filter (0..9 the processing-amplifier properties, 10..16
// the camera-control properties 0..6).
#pragma once

namespace nuv {

inline constexpr int kPropertyLed = 0;         // brightness
inline constexpr int kPropertyColorBar = 1;    // contrast
inline constexpr int kPropertyCameraNumber = 2;  // hue
inline constexpr int kPropertyGain = 9;
inline constexpr int kPropertyExposure = 14;   // camera control 4

// Both fail, without reaching the camera, for a slot index out of 0..9, a
// slot that is not running, a property index out of 0..16 or a property the
// camera did not answer when it was opened. SetProperty truncates the value
// toward zero and refuses it outside the range the camera reports; it then
// succeeds exactly when the camera accepts it. GetProperty writes *value
// only on success.
bool SetProperty(int slotIndex, int propertyIndex, double value);
bool GetProperty(int slotIndex, int propertyIndex, double *value);

}  // namespace nuv
