/* Preloaded into the test programs when they run under a user-mode emulator (qemu-user).
 *
 * QProcess starts its children through clone(CLONE_PIDFD) once waitid(P_PIDFD) answers like a
 * kernel that has it. Under qemu-user the waitid call reaches the host kernel, which has it, but
 * the emulator refuses the clone flag, so every QProcess::start fails. Answering the probe as an
 * older kernel would makes QProcess fall back to fork and SIGCHLD, which the emulator handles.
 *
 * The library takes itself out of LD_PRELOAD once loaded: the children the tests start are host
 * programs (python3, sh) or go through the emulator again, and a host loader would complain
 * about an arm64 library. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/syscall.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

typedef long (*SyscallFn)(long, long, long, long, long, long, long);

long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_waitid && a[0] == P_PIDFD) {
        errno = EINVAL;
        return -1;
    }
    static SyscallFn next;
    if (!next) next = (SyscallFn)dlsym(RTLD_NEXT, "syscall");
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

__attribute__((constructor)) static void LeaveChildrenAlone(void) {
    unsetenv("LD_PRELOAD");
}
