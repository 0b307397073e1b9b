#include "device_provider.h"

#include <string>

#include "devices.h"
#include "formats.h"
#include "nuvsrc.h"

GST_DEBUG_CATEGORY_STATIC(nuv_provider_debug);
#define GST_CAT_DEFAULT nuv_provider_debug

struct _GstNuvDevice {
    GstDevice parent;
    gchar *selector;  // what nuvsrc's device property takes: the serial, else the position
};

G_DEFINE_TYPE(GstNuvDevice, gst_nuv_device, GST_TYPE_DEVICE)

namespace {

GstElement *CreateElement(GstDevice *device, const gchar *name) {
    GstElement *element = gst_element_factory_make("nuvsrc", name);
    if (element != nullptr) g_object_set(element, "device", GST_NUV_DEVICE(device)->selector, nullptr);
    return element;
}

gboolean ReconfigureElement(GstDevice *device, GstElement *element) {
    g_object_set(element, "device", GST_NUV_DEVICE(device)->selector, nullptr);
    return TRUE;
}

void FinalizeDevice(GObject *object) {
    g_free(GST_NUV_DEVICE(object)->selector);
    G_OBJECT_CLASS(gst_nuv_device_parent_class)->finalize(object);
}

GstDevice *MakeDevice(const nuvclient::DeviceEntry &entry, const nuvclient::Api &api) {
    GstCaps *caps = nuvgst::CapsOf(nuvgst::StreamChoices(nuvclient::ListFormats(entry.position, api), entry.kind), false);
    // The serial alone: it stays with the camera when positions change, and
    // a launch line needs no quoting for it.
    const std::string selector = entry.serial.empty() ? std::to_string(entry.position) : entry.serial;
    GstStructure *properties = gst_structure_new(
        "nuv-device-properties", "device.api", G_TYPE_STRING, "nuv", "device.path", G_TYPE_STRING, selector.c_str(),
        "device.position", G_TYPE_INT, entry.position, "device.serial", G_TYPE_STRING, entry.serial.c_str(),
        "device.kind", G_TYPE_STRING, entry.kind == nuvclient::kKindNuv2 ? "NUV2" : entry.kind == nuvclient::kKindNuv ? "NUV" : "other", "library.path",
        G_TYPE_STRING, api.path.c_str(), nullptr);
    auto *device = static_cast<GstNuvDevice *>(g_object_new(GST_TYPE_NUV_DEVICE, "display-name", entry.Label().c_str(),
                                                            "device-class", "Video/Source", "caps", caps,
                                                            "properties", properties, nullptr));
    device->selector = g_strdup(selector.c_str());
    gst_caps_unref(caps);
    gst_structure_free(properties);
    return GST_DEVICE(device);
}

// One look at the library's device list; the library says nothing when a
// camera comes or goes, so there is no monitoring beyond it.
GList *Probe(GstDeviceProvider *provider) {
    GList *devices = nullptr;
    try {
        const nuvclient::Api &api = nuvclient::LoadNuvLibrary(nuvgst::LibraryChoiceFor("", false));
        for (const nuvclient::DeviceEntry &entry : nuvclient::ListDevices(api)) {
            // The library opens positions 0..9 only.
            if (entry.position > 9) break;
            devices = g_list_append(devices, gst_object_ref_sink(MakeDevice(entry, api)));
        }
    } catch (const std::exception &e) {
        GST_WARNING_OBJECT(provider, "no cameras listed: %s", e.what());
    }
    return devices;
}

}  // namespace

static void gst_nuv_device_init(GstNuvDevice *) {}

static void gst_nuv_device_class_init(GstNuvDeviceClass *klass) {
    GST_DEVICE_CLASS(klass)->create_element = CreateElement;
    GST_DEVICE_CLASS(klass)->reconfigure_element = ReconfigureElement;
    G_OBJECT_CLASS(klass)->finalize = FinalizeDevice;
}

struct _GstNuvDeviceProvider {
    GstDeviceProvider parent;
};

G_DEFINE_TYPE(GstNuvDeviceProvider, gst_nuv_device_provider, GST_TYPE_DEVICE_PROVIDER)

static void gst_nuv_device_provider_init(GstNuvDeviceProvider *) {}

static void gst_nuv_device_provider_class_init(GstNuvDeviceProviderClass *klass) {
    GST_DEBUG_CATEGORY_INIT(nuv_provider_debug, "nuvdeviceprovider", 0, "nuv camera provider");
    GstDeviceProviderClass *provider = GST_DEVICE_PROVIDER_CLASS(klass);
    provider->probe = Probe;
    gst_device_provider_class_set_static_metadata(
        provider, "nuv camera provider", "Source/Video",
        "Lists the cameras of the library nuvsrc loads ($NUVSRC_LIBRARY, else the simulated world)", "nuv developers");
}
