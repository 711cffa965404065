/* serialcore_shim: preloaded into dwmid, answers TIOCSRS485 and TIOCGRS485 on every tty as the
 * kernel's serial core does for a UART driver with an RS-485 mode: unsupported flags are
 * cleared, exactly one of RTS on send / RTS after send is kept (on send when both or neither
 * are asked), and the delays are clamped to 100 ms. The settings belong to the process (one
 * port), starting as a port left by an earlier user: RS-485 off, delays 0/3 ms.
 *
 * RS485_SERIALCORE_SUPPORTED: the flags the port supports (default: enabled, RTS on send,
 * RTS after send, receive during send), as a number. RS485_SERIALCORE_LOG: the file each call
 * is recorded in, for example "TIOCSRS485 asked flags=0x05 delays 5/2 got flags=0x05 delays
 * 5/2" and "TIOCGRS485 flags=0x05 delays 5/2". Every other ioctl goes to the C library. */
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "ShimLog.h"

typedef int (*IoctlFn)(int, unsigned long, void*);

static struct serial_rs485 g_port = {0, 0, 3, {{0}}};

static unsigned Supported(void) {
    const char* text = getenv("RS485_SERIALCORE_SUPPORTED");
    if (text == NULL || text[0] == '\0') {
        return SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND |
               SER_RS485_RX_DURING_TX;
    }
    return (unsigned)strtoul(text, NULL, 0);
}

static __u32 Clamp(__u32 ms) {
    return ms > 100 ? 100 : ms;
}

static int Answer(unsigned long request, struct serial_rs485* arg) {
    if (request == TIOCGRS485) {
        *arg = g_port;
        ShimLog("RS485_SERIALCORE_LOG", "TIOCGRS485 flags=0x%02x delays %u/%u", g_port.flags,
                g_port.delay_rts_before_send, g_port.delay_rts_after_send);
        return 0;
    }
    {
        struct serial_rs485 asked = *arg;
        struct serial_rs485 got = asked;
        const unsigned rts = SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;
        if ((got.flags & SER_RS485_ENABLED) != 0) {
            got.flags &= Supported();
            if ((got.flags & rts) == 0 || (got.flags & rts) == rts) {
                got.flags = (got.flags & ~rts) | SER_RS485_RTS_ON_SEND;
            }
            got.delay_rts_before_send = Clamp(got.delay_rts_before_send);
            got.delay_rts_after_send = Clamp(got.delay_rts_after_send);
        }
        g_port = got;
        *arg = got;
        ShimLog("RS485_SERIALCORE_LOG",
                "TIOCSRS485 asked flags=0x%02x delays %u/%u got flags=0x%02x delays %u/%u",
                asked.flags, asked.delay_rts_before_send, asked.delay_rts_after_send, got.flags,
                got.delay_rts_before_send, got.delay_rts_after_send);
    }
    return 0;
}

/* name: the C library's symbol that the call came in under. */
static int Dispatch(const char* name, int fd, unsigned long request, void* arg) {
    IoctlFn fn;
    if ((request == TIOCSRS485 || request == TIOCGRS485) && isatty(fd)) {
        return Answer(request, (struct serial_rs485*)arg);
    }
    fn = (IoctlFn)dlsym(RTLD_NEXT, name);
    if (fn == NULL) {
        fn = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
    }
    if (fn == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return fn(fd, request, arg);
}

/* Defined under other C names and given the symbols, so that they need not repeat the
 * declaration in <sys/ioctl.h>; __ioctl_time64 is the name a 64-bit time_t build calls. */
int SerialcoreIoctl(int fd, unsigned long request, ...) __asm__("ioctl");
int SerialcoreIoctl64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");

int SerialcoreIoctl(int fd, unsigned long request, ...) {
    va_list args;
    void* arg;
    va_start(args, request);
    arg = va_arg(args, void*);
    va_end(args);
    return Dispatch("ioctl", fd, request, arg);
}

int SerialcoreIoctl64(int fd, unsigned long request, ...) {
    va_list args;
    void* arg;
    va_start(args, request);
    arg = va_arg(args, void*);
    va_end(args);
    return Dispatch("__ioctl_time64", fd, request, arg);
}
