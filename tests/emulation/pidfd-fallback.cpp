// Preloaded into the tests of a cross build while they run under qemu-user. qemu-user 7.2
// passes waitid(P_PIDFD) through to the host kernel, which accepts it, but rejects
// clone(CLONE_PIDFD) with EINVAL. Qt's process launcher takes the first as the sign that pidfds
// work and then fails to start any process. Answering ENOSYS to waitid(P_PIDFD) makes Qt fall
// back to its fork-based launcher, which qemu-user runs fine. Nothing else is changed.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/syscall.h>

namespace {

constexpr long idTypePidfd = 3; // P_PIDFD

// The library removes itself from the environment: the processes a test starts are host
// programs (the shell that runs the emulated server), and the host's loader would complain
// about an arm64 library in LD_PRELOAD.
__attribute__((constructor)) void leaveNoTrace()
{
    unsetenv("LD_PRELOAD");
}

} // namespace

// glibc's syscall(); every call but waitid(P_PIDFD, ...) goes to the real one.
extern "C" long syscall(long number, ...)
{
    va_list args;
    va_start(args, number);
    long arg[6];
    for (long &a : arg)
        a = va_arg(args, long);
    va_end(args);
    if (number == SYS_waitid && arg[0] == idTypePidfd) {
        errno = ENOSYS;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const Syscall real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]);
}
