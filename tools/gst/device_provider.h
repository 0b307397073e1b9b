// The cameras for GstDeviceMonitor (gst-device-monitor-1.0): those of the
// library nuvsrc loads by default, each with its caps and an element that
// streams from it.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS
#define GST_TYPE_NUV_DEVICE_PROVIDER (gst_nuv_device_provider_get_type())
G_DECLARE_FINAL_TYPE(GstNuvDeviceProvider, gst_nuv_device_provider, GST, NUV_DEVICE_PROVIDER, GstDeviceProvider)
#define GST_TYPE_NUV_DEVICE (gst_nuv_device_get_type())
G_DECLARE_FINAL_TYPE(GstNuvDevice, gst_nuv_device, GST, NUV_DEVICE, GstDevice)
G_END_DECLS
