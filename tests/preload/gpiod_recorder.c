/* gpiod_recorder: preloaded into dwmid in place of libgpiod's line calls. It hands out one
 * chip and one line and records every call, and between them every write to a tty and every
 * read from one that returned bytes, so that a test can tell when the line was active
 * relative to the request's bytes. Lines in RS485_GPIODREC_LOG, for example:
 *   open gpiochip0
 *   line offset=5                (or: line name=DE1)
 *   request consumer=dwmid flags=4 value=0
 *   set 1 / tty-write 2 / set 0 / tty-read 3
 *   release / close
 * A chip or line called "missing" is not found (ENOENT). */
#include <dlfcn.h>
#include <errno.h>
#include <gpiod.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "ShimLog.h"

struct gpiod_chip {
    int unused;
};
struct gpiod_line {
    int unused;
};

static struct gpiod_chip g_chip;
static struct gpiod_line g_line;

#define LOG(...) ShimLog("RS485_GPIODREC_LOG", __VA_ARGS__)

struct gpiod_chip* gpiod_chip_open_lookup(const char* descr) {
    if (strcmp(descr, "missing") == 0) {
        errno = ENOENT;
        return NULL;
    }
    LOG("open %s", descr);
    return &g_chip;
}

void gpiod_chip_close(struct gpiod_chip* chip) {
    (void)chip;
    LOG("close");
}

struct gpiod_line* gpiod_chip_get_line(struct gpiod_chip* chip, unsigned int offset) {
    (void)chip;
    LOG("line offset=%u", offset);
    return &g_line;
}

struct gpiod_line* gpiod_chip_find_line(struct gpiod_chip* chip, const char* name) {
    (void)chip;
    if (strcmp(name, "missing") == 0) {
        errno = ENOENT;
        return NULL;
    }
    LOG("line name=%s", name);
    return &g_line;
}

int gpiod_line_request_output_flags(struct gpiod_line* line, const char* consumer, int flags,
                                    int default_val) {
    (void)line;
    LOG("request consumer=%s flags=%d value=%d", consumer, flags, default_val);
    return 0;
}

int gpiod_line_set_value(struct gpiod_line* line, int value) {
    (void)line;
    LOG("set %d", value);
    return 0;
}

void gpiod_line_release(struct gpiod_line* line) {
    (void)line;
    LOG("release");
}

typedef ssize_t (*TransferFn)(int, void*, size_t);

static ssize_t Transfer(const char* name, int fd, void* buf, size_t count) {
    TransferFn fn = (TransferFn)dlsym(RTLD_NEXT, name);
    ssize_t n;
    if (fn == NULL) {
        errno = ENOSYS;
        return -1;
    }
    n = fn(fd, buf, count);
    if (n > 0) {
        const int saved = errno;
        if (isatty(fd)) {
            LOG("tty-%s %ld", name, (long)n);
        }
        errno = saved;
    }
    return n;
}

ssize_t RecorderWrite(int fd, const void* buf, size_t count) __asm__("write");
ssize_t RecorderRead(int fd, void* buf, size_t count) __asm__("read");

ssize_t RecorderWrite(int fd, const void* buf, size_t count) {
    return Transfer("write", fd, (void*)buf, count);
}

ssize_t RecorderRead(int fd, void* buf, size_t count) {
    return Transfer("read", fd, buf, count);
}
