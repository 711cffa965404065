/* lineshim: preloaded into the master under test (dwmid, a benchmark) so that the bus
 * simulator learns the line settings the master asked for. A Linux pseudo-terminal forces
 * 8 data bits and clears the parity enable whatever is asked, so the simulator cannot read
 * those two from the terminal itself.
 *
 * With RS485_LINESHIM_DIR set, every successful tcsetattr on a tty writes one line,
 * "<data bits><N|E|O><stop bits> <bit/s>", for example "8E1 38400", to the file
 * RS485_LINESHIM_DIR/<tty path with every '/' replaced by '_'> (for /dev/pts/3:
 * "_dev_pts_3"). The file is replaced in one step (rename), before tcsetattr returns. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

typedef int (*TcsetattrFn)(int, int, const struct termios*);

static unsigned long BitRate(speed_t speed) {
    static const struct {
        speed_t code;
        unsigned long rate;
    } kRates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    size_t i;
    for (i = 0; i < sizeof(kRates) / sizeof(kRates[0]); ++i) {
        if (kRates[i].code == speed) {
            return kRates[i].rate;
        }
    }
    return 0;
}

static int DataBits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

static void Publish(int fd, const struct termios* t) {
    const char* dir = getenv("RS485_LINESHIM_DIR");
    char link[64];
    char tty[256];
    char path[512];
    char tmp[600];
    char text[64];
    ssize_t n;
    size_t i;
    int out;
    int len;
    if (dir == NULL || dir[0] == '\0' || !isatty(fd)) {
        return;
    }
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    n = readlink(link, tty, sizeof(tty) - 1);
    if (n <= 0) {
        return;
    }
    tty[n] = '\0';
    for (i = 0; tty[i] != '\0'; ++i) {
        if (tty[i] == '/') {
            tty[i] = '_';
        }
    }
    snprintf(path, sizeof(path), "%s/%s", dir, tty);
    /* Threads of one process may set different lines at once: one temporary file each. */
    snprintf(tmp, sizeof(tmp), "%s.%ld.tmp", path, (long)syscall(SYS_gettid));
    len = snprintf(text, sizeof(text), "%d%c%d %lu\n", DataBits(t->c_cflag),
                   (t->c_cflag & PARENB) == 0 ? 'N' : ((t->c_cflag & PARODD) != 0 ? 'O' : 'E'),
                   (t->c_cflag & CSTOPB) != 0 ? 2 : 1, BitRate(cfgetospeed(t)));
    out = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        return;
    }
    n = write(out, text, (size_t)len);
    close(out);
    if (n == len) {
        rename(tmp, path);
    } else {
        unlink(tmp);
    }
}

/* Defined under another C name and given the symbol tcsetattr, so that it need not repeat
 * the reserved parameter names of the declaration in <termios.h>. */
int LineshimTcsetattr(int fd, int action, const struct termios* t) __asm__("tcsetattr");

int LineshimTcsetattr(int fd, int action, const struct termios* t) {
    static TcsetattrFn real;
    TcsetattrFn fn = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
    int rc;
    if (fn == NULL) {
        fn = (TcsetattrFn)dlsym(RTLD_NEXT, "tcsetattr");
        if (fn == NULL) {
            errno = ENOSYS;
            return -1;
        }
        __atomic_store_n(&real, fn, __ATOMIC_RELEASE);
    }
    rc = fn(fd, action, t);
    if (rc == 0 && t != NULL) {
        const int saved = errno;
        Publish(fd, t);
        errno = saved;
    }
    return rc;
}
