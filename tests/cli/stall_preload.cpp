// Loaded into kestrom with LD_PRELOAD by the end-to-end tests: stops the process (SIGSTOP, which
// nothing can block) just before its N-th write into one file, so that a test can act at an exact
// moment of an in-place rewrite. KESTROM_STALL_FILE names the file, KESTROM_STALL_WRITE gives N.
// With KESTROM_STALL_FAIL set, that write fails with EIO instead.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    using write_fn = ssize_t (*)(int, const void*, size_t);
    static const write_fn real_write = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    static long target = -1;
    static long seen = 0;
    static struct stat file {};
    if (target < 0) {
        const char* path = std::getenv("KESTROM_STALL_FILE");
        const char* n = std::getenv("KESTROM_STALL_WRITE");
        target = path != nullptr && n != nullptr && stat(path, &file) == 0 ? std::atol(n) : 0;
    }
    struct stat st;
    if (target > 0 && fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino &&
        ++seen == target) {
        if (std::getenv("KESTROM_STALL_FAIL") != nullptr) {
            errno = EIO;
            return -1;
        }
        raise(SIGSTOP);
    }
    return real_write(fd, data, size);
}
