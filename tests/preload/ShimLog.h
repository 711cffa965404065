/* One line appended to the file named by the environment variable env, in one write, so that
 * the lines of several threads do not mix. Nothing happens when env is not set. */
#pragma once

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

static void ShimLog(const char* env, const char* format, ...) __attribute__((format(printf, 2, 3)));

static void ShimLog(const char* env, const char* format, ...) {
    const char* path = getenv(env);
    char line[512];
    va_list args;
    int len;
    int fd;
    if (path == NULL || path[0] == '\0') {
        return;
    }
    va_start(args, format);
    len = vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (len < 0) {
        return;
    }
    if (len > (int)sizeof(line) - 2) {
        len = (int)sizeof(line) - 2;
    }
    line[len++] = '\n';
    /* The raw system calls: the write of a preload that wraps write must not come back here. */
    fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)syscall(SYS_write, fd, line, (size_t)len);
        (void)syscall(SYS_close, fd);
    }
}
