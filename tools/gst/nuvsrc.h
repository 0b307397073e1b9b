// nuvsrc: a camera of the nuv library as a live GStreamer source. A client
// of the public headers like nuvctl: it loads the library at run time (the
// simulated world unless told otherwise) and chooses the device the way
// nuvctl -d does.
#pragma once

#include <gst/base/gstpushsrc.h>

#include <string>

#include "api.h"

G_BEGIN_DECLS
#define GST_TYPE_NUV_SRC (gst_nuv_src_get_type())
G_DECLARE_FINAL_TYPE(GstNuvSrc, gst_nuv_src, GST, NUV_SRC, GstPushSrc)
G_END_DECLS

namespace nuvgst {

// The environment variable that names the library when the element's
// library property is not set.
inline constexpr const char *kLibraryVariable = "NUVSRC_LIBRARY";

// Which library the element (and the device provider) loads: path if set,
// else $NUVSRC_LIBRARY, else libnuv_sim.so (real: libnuv.so) beside the
// plugin's folder (the build tree and the installed layout both put it
// there), the installed library folder, or the loader's path.
nuvclient::LibraryChoice LibraryChoiceFor(const std::string &path, bool real);

}  // namespace nuvgst
