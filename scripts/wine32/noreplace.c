/* An LD_PRELOAD shim for 32-bit Wine run under qemu-i386 user-mode emulation
 * (scripts/wine32-tests.sh), where the host cannot run 32-bit code itself.
 *
 * Wine reserves its address ranges with mmap(MAP_FIXED_NOREPLACE) and relies
 * on the kernel refusing a range that is taken. qemu-user 7.2 passes the flag
 * on as a mere hint, so a reservation may land elsewhere and Wine's memory
 * layout falls apart. These wrappers restore the kernel's meaning: a mapping
 * that did not land at the requested address is undone and reported as
 * EEXIST. Built with i686-linux-gnu-gcc and loaded into the emulated Wine
 * processes through QEMU_SET_ENV=LD_PRELOAD=<path>. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

static void *do_mmap(void *a, size_t l, int p, int f, int fd, uint64_t off)
{
    if (off & 4095) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    long r = syscall(SYS_mmap2, a, l, p, f & ~MAP_FIXED_NOREPLACE, fd, (unsigned long)(off >> 12));
    void *res = (void *)r;
    if (res != MAP_FAILED && (f & MAP_FIXED_NOREPLACE) && !(f & MAP_FIXED) && res != a) {
        syscall(SYS_munmap, res, l);
        errno = EEXIST;
        return MAP_FAILED;
    }
    return res;
}

void *mmap(void *a, size_t l, int p, int f, int fd, off_t o) { return do_mmap(a, l, p, f, fd, (uint64_t)(uint32_t)o); }
void *mmap64(void *a, size_t l, int p, int f, int fd, off64_t o) { return do_mmap(a, l, p, f, fd, (uint64_t)o); }
