// The exported functions: 1-based channel and machine numbers in, 0-based to the facade.
#include <climits>
#include <mutex>
#include <new>

#include "SettingLibDatas.h"
#include "dw485if.h"
#include "Trace.h"

// The facade pointer is defined here with its real type; the public header's opaque
// declaration is left out of this file.
extern "C" {
RS485_API veldwlib::dw485_if* dw485if = nullptr;
}

namespace {

// The facade lives in static storage and is never destroyed: application threads may still
// be inside a library call while the process ends.
alignas(veldwlib::dw485_if) unsigned char g_facadeStorage[sizeof(veldwlib::dw485_if)];
std::once_flag g_facadeCreated;

// The exported pointer keeps its plain type; it is written once (release) and read with
// acquire, so a thread that sees it set also sees the facade constructed.
veldwlib::dw485_if* Facade() {
    return __atomic_load_n(&dw485if, __ATOMIC_ACQUIRE);
}

// 1-based to 0-based without overflow: INT_MIN stays out of every valid range.
int ToZeroBased(int n) {
    return n == INT_MIN ? INT_MIN : n - 1;
}

}  // namespace

extern "C" {

RS485_API int pxa_rs485_open(int channel, bool sniffer, unsigned char baudrate) {
    const int c = ToZeroBased(channel);
    // The configuration says where trace lines go, so it is read before the first of them.
    veldwlib::data::SettingLibDatas::create();
    VTRACE(c << ":: pxa open : call Open 1");
    std::call_once(g_facadeCreated, [] {
        __atomic_store_n(&dw485if, new (g_facadeStorage) veldwlib::dw485_if(), __ATOMIC_RELEASE);
    });
    VTRACE(c << ":: pxa open : call Open 2");
    const int r = Facade()->rs485_open(c, sniffer, baudrate);
    VTRACE(c << ":: Open : library. ret = " << r);
    return r;
}

RS485_API void pxa_rs485_close(int channel) {
    const int c = ToZeroBased(channel);
    VTRACE(c << ":: pxa close : call Close 1");
    if (veldwlib::dw485_if* f = Facade(); f != nullptr) {
        f->rs485_close(c);
        VTRACE(c << ":: pxa close : call Close 2");
    }
}

RS485_API void pxa_rs485_setPortParams(int channel, int mc_num, unsigned char ctrl_bit,
                                       short time_out, unsigned char delm_type,
                                       unsigned char len_after_delm, unsigned char wait_time) {
    if (veldwlib::dw485_if* f = Facade(); f != nullptr) {
        f->rs485_setPortParams(ToZeroBased(channel), ToZeroBased(mc_num), ctrl_bit, time_out,
                               delm_type, len_after_delm, wait_time);
    }
}

RS485_API int pxa_rs485_setComFlags(int channel, int flags) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr ? f->rs485_setComFlags(ToZeroBased(channel), flags) : 0;
}

RS485_API int pxa_rs485_setReplyFraming(int channel, int mc_num, int kind, int length) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr
               ? f->rs485_setReplyFraming(ToZeroBased(channel), ToZeroBased(mc_num), kind, length)
               : 0;
}

RS485_API int pxa_rs485_putOutputStream(int channel, int mc, xfer_data* buf) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr ? f->rs485_putOutputStream(ToZeroBased(channel), ToZeroBased(mc), buf) : 0;
}

RS485_API int pxa_rs485_startCom(int channel) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr ? f->rs485_startCom(ToZeroBased(channel)) : 0;
}

RS485_API void* pxa_rs485_getReceiveStream(int channel, int mc) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr ? f->rs485_getReceiveStream(ToZeroBased(channel), ToZeroBased(mc))
                        : nullptr;
}

RS485_API void pxa_rs485_addEventListener(int channel, rs485_listener listener) {
    if (veldwlib::dw485_if* f = Facade(); f != nullptr) {
        f->rs485_addEventListener(ToZeroBased(channel), listener);
    }
}

RS485_API void pxa_rs485_removeEventListener(int channel) {
    if (veldwlib::dw485_if* f = Facade(); f != nullptr) {
        f->rs485_removeEventListener(ToZeroBased(channel));
    }
}

RS485_API int pxa_rs485_getPortStatus(void) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr ? f->rs485_getPortStatus() : 0;
}

RS485_API void pxa_rs485_putPortStatus(unsigned char status) {
    if (veldwlib::dw485_if* f = Facade(); f != nullptr) {
        f->rs485_putPortStatus(status);
    }
}

RS485_API unsigned short pxa_rs485_verGet(void) {
    veldwlib::dw485_if* f = Facade();
    return f != nullptr ? static_cast<unsigned short>(f->rs485_verGet()) : 0;
}

}  // extern "C"

RS485_API void pxa_rs485_shutdown() {
    if (veldwlib::dw485_if* f = Facade(); f != nullptr) {
        f->rs485_shutdown();
    }
}
