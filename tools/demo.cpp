// The main job: shows what the library and the simulated world offer.
#include <cstdio>

#include "nuv.h"
#include "nuv_sim.h"

int main() {
    char version[64];
    if (!NuvDLLVersion(version, static_cast<int>(sizeof version))) {
        std::fprintf(stderr, "NuvDLLVersion failed\n");
        return 1;
    }
    std::printf("%s\n", version);
    std::printf("simulated devices: %d\n", NuvSimDeviceCount());
    return 0;
}
