// The public header as the library's own sources see it: without the opaque declaration of
// the facade pointer, which rs485.cpp defines with its real type.
#pragma once

#ifndef RS485_LIBRARY_INTERNAL
#define RS485_LIBRARY_INTERNAL
#endif
#include "rs485.h"
