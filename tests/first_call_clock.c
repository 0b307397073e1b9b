/* A program whose very first call asks the simulated world for virtual
   time: whatever the library builds lazily afterwards must keep that clock.
   Exits 0 when it does. */
#include <stdio.h>

#include "nuv.h"
#include "nuv_sim.h"

int main(void) {
    NuvSimUseVirtualClock(1);
    char list[256];
    /* The first use of the world: it fills itself with the default cameras. */
    if (NuvGetDevice(list, (int)sizeof list) != 2) {
        fprintf(stderr, "the default world should list two cameras, got \"%s\"\n", list);
        return 1;
    }
    const unsigned int before = NuvSimGetTickCount();
    NuvSimAdvanceClock(123456);
    const unsigned int after = NuvSimGetTickCount();
    if (after - before != 123456u) {
        fprintf(stderr, "the clock is not virtual: %u ms passed instead of 123456\n", after - before);
        return 1;
    }
    /* An open waits for its stream in virtual time, without waiting for real. */
    if (NuvOpen(1, 328, 204, 30.0, "YUY2") != 0) {
        fprintf(stderr, "the default camera at position 1 did not open\n");
        return 1;
    }
    NuvClose(1);
    return 0;
}
