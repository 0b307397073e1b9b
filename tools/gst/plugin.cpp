// libgstnuv.so: the element nuvsrc and the provider that lists its cameras.
#include <gst/gst.h>

#include "device_provider.h"
#include "nuvsrc.h"

namespace {

gboolean PluginInit(GstPlugin *plugin) {
    // Rank none: a pipeline asks for nuvsrc by name; the simulated world is
    // the default library, never a camera to pick on its own.
    return gst_element_register(plugin, "nuvsrc", GST_RANK_NONE, GST_TYPE_NUV_SRC) &&
           gst_device_provider_register(plugin, "nuvdeviceprovider", GST_RANK_MARGINAL, GST_TYPE_NUV_DEVICE_PROVIDER);
}

}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, nuv,
                  "NUV and NUV2 cameras through the nuv library (simulated world or real cameras)", PluginInit,
                  NUV_VERSION, "Proprietary", "nuv", "the nuv camera library")
