/* stuckq_shim: preloaded into dwmid, makes every tty a port whose transmitter never sends
 * (a UART whose CTS is never asserted): the bytes written stay counted in the output queue
 * (TIOCOUTQ) until tcflush discards them, tcsetattr with TCSADRAIN or TCSAFLUSH waits for the
 * queue as the kernel does, and close waits for it as a driver's closing wait does. The waits
 * end after 60 s at the latest, so that a test fails instead of hanging. The bytes still reach
 * the other end of the pseudo-terminal.
 * RS485_STUCKQ_LOG records, one line each: "flush N" (bytes discarded), "tcsetattr waited"
 * and "close waited" (a call that had to wait for the queue). */
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "ShimLog.h"

#define LOG(...) ShimLog("RS485_STUCKQ_LOG", __VA_ARGS__)

static int g_queued;

static void* Next(const char* name) {
    void* fn = dlsym(RTLD_NEXT, name);
    if (fn == NULL) {
        errno = ENOSYS;
    }
    return fn;
}

/* Waits until the queue is flushed (by another thread) or 60 s have passed; true when it had
 * to wait at all. */
static int WaitForQueue(void) {
    int waited = 0;
    int i;
    for (i = 0; i < 6000 && __atomic_load_n(&g_queued, __ATOMIC_ACQUIRE) > 0; ++i) {
        const struct timespec tick = {0, 10000000};
        waited = 1;
        nanosleep(&tick, NULL);
    }
    return waited;
}

ssize_t StuckWrite(int fd, const void* buf, size_t count) __asm__("write");
int StuckIoctl(int fd, unsigned long request, ...) __asm__("ioctl");
int StuckIoctl64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
int StuckTcflush(int fd, int queue) __asm__("tcflush");
int StuckTcsetattr(int fd, int action, const struct termios* t) __asm__("tcsetattr");
int StuckClose(int fd) __asm__("close");

ssize_t StuckWrite(int fd, const void* buf, size_t count) {
    ssize_t (*fn)(int, const void*, size_t) = (ssize_t(*)(int, const void*, size_t))Next("write");
    ssize_t n;
    if (fn == NULL) {
        return -1;
    }
    n = fn(fd, buf, count);
    if (n > 0 && isatty(fd)) {
        __atomic_add_fetch(&g_queued, (int)n, __ATOMIC_ACQ_REL);
    }
    return n;
}

static int Ioctl(const char* name, int fd, unsigned long request, void* arg) {
    int (*fn)(int, unsigned long, void*) = (int (*)(int, unsigned long, void*))Next(name);
    if (fn == NULL) {
        fn = (int (*)(int, unsigned long, void*))Next("ioctl");
    }
    if (fn == NULL) {
        return -1;
    }
    if (request == TIOCOUTQ && isatty(fd)) {
        *(int*)arg = __atomic_load_n(&g_queued, __ATOMIC_ACQUIRE);
        return 0;
    }
    return fn(fd, request, arg);
}

int StuckIoctl(int fd, unsigned long request, ...) {
    va_list args;
    void* arg;
    va_start(args, request);
    arg = va_arg(args, void*);
    va_end(args);
    return Ioctl("ioctl", fd, request, arg);
}

int StuckIoctl64(int fd, unsigned long request, ...) {
    va_list args;
    void* arg;
    va_start(args, request);
    arg = va_arg(args, void*);
    va_end(args);
    return Ioctl("__ioctl_time64", fd, request, arg);
}

int StuckTcflush(int fd, int queue) {
    int (*fn)(int, int) = (int (*)(int, int))Next("tcflush");
    if (fn == NULL) {
        return -1;
    }
    if ((queue == TCOFLUSH || queue == TCIOFLUSH) && isatty(fd)) {
        LOG("flush %d", __atomic_exchange_n(&g_queued, 0, __ATOMIC_ACQ_REL));
    }
    return fn(fd, queue);
}

int StuckTcsetattr(int fd, int action, const struct termios* t) {
    int (*fn)(int, int, const struct termios*) =
        (int (*)(int, int, const struct termios*))Next("tcsetattr");
    if (fn == NULL) {
        return -1;
    }
    if ((action == TCSADRAIN || action == TCSAFLUSH) && isatty(fd) && WaitForQueue()) {
        LOG("tcsetattr waited");
    }
    return fn(fd, action, t);
}

int StuckClose(int fd) {
    int (*fn)(int) = (int (*)(int))Next("close");
    if (fn == NULL) {
        return -1;
    }
    if (isatty(fd) && WaitForQueue()) {
        LOG("close waited");
    }
    return fn(fd);
}
