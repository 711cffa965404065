// pxa_rs485_shutdown has C++ linkage; this gives the C example a C name for it.
#include "rs485.h"

extern "C" void example_shutdown(void) {
    pxa_rs485_shutdown();
}
