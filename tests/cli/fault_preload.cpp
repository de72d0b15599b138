// Fault injection, loaded into kestrom with LD_PRELOAD by the end-to-end tests. One system call
// fails (or stops the process) at its k-th use, so that a test can check what every failure at
// every moment leaves on disk. Set by the environment:
//   KFAULT_CALL    read, write, lseek, ftruncate, close, open, openat, linkat, fsync or unlinkat
//   KFAULT_AT      k: the call to act on (1 = the first); 0 or unset: never
//   KFAULT_ACTION  an errno name (EIO, ENOSPC, EFBIG, EINTR, EOPNOTSUPP), SHORT (read or write
//                  half the bytes) or STOP (SIGSTOP just before the call, which nothing can block)
//   KFAULT_FILE    count only calls on descriptors of this file (not for open, openat, linkat)
//   KFAULT_COUNT   a file that receives the number of calls of KFAULT_CALL seen so far
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

struct fault_plan {
    bool loaded = false;
    const char* call = "";
    long at = 0;
    int error = 0;  // errno to fail with; 0 with short_count or stop
    bool short_count = false;
    bool stop = false;
    bool by_file = false;
    struct stat file {};
    const char* count_path = nullptr;
    long seen = 0;
};

fault_plan& plan() {
    static fault_plan p;
    if (!p.loaded) {
        p.loaded = true;
        auto env = [](const char* name, const char* otherwise) {
            const char* value = std::getenv(name);
            return value != nullptr ? value : otherwise;
        };
        p.call = env("KFAULT_CALL", "");
        p.at = std::atol(env("KFAULT_AT", "0"));
        p.count_path = std::getenv("KFAULT_COUNT");
        p.by_file = stat(env("KFAULT_FILE", ""), &p.file) == 0;
        const char* a = env("KFAULT_ACTION", "EIO");
        p.short_count = std::strcmp(a, "SHORT") == 0;
        p.stop = std::strcmp(a, "STOP") == 0;
        p.error = EIO;
        const std::pair<const char*, int> errors[] = {
            {"ENOSPC", ENOSPC}, {"EFBIG", EFBIG}, {"EINTR", EINTR}, {"EOPNOTSUPP", EOPNOTSUPP}};
        for (auto [name, error] : errors)
            if (std::strcmp(a, name) == 0) p.error = error;
    }
    return p;
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

/// Writes the count through stdio, whose own calls inside the C library do not come here.
void record_count(const fault_plan& p) {
    if (p.count_path == nullptr) return;
    if (std::FILE* f = std::fopen(p.count_path, "we")) {
        std::fprintf(f, "%ld\n", p.seen);
        std::fclose(f);
    }
}

/// What to do with this call: 0 go on, 1 fail with errno set, 2 cut the count short.
int decide(const char* name, int fd) {
    fault_plan& p = plan();
    if (std::strcmp(p.call, name) != 0) return 0;
    if (p.by_file && fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) != 0 || st.st_dev != p.file.st_dev || st.st_ino != p.file.st_ino) {
            return 0;
        }
    }
    ++p.seen;
    record_count(p);
    if (p.seen != p.at) return 0;
    if (p.stop) {
        raise(SIGSTOP);
        return 0;
    }
    if (p.short_count) return 2;
    errno = p.error;
    return 1;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* data, size_t size) {
    static const auto f = real<ssize_t (*)(int, void*, size_t)>("read");
    const int d = decide("read", fd);
    return d == 1 ? -1 : f(fd, data, d == 2 && size > 1 ? size / 2 : size);
}

ssize_t write(int fd, const void* data, size_t size) {
    static const auto f = real<ssize_t (*)(int, const void*, size_t)>("write");
    const int d = decide("write", fd);
    return d == 1 ? -1 : f(fd, data, d == 2 && size > 1 ? size / 2 : size);
}

off_t lseek(int fd, off_t offset, int whence) {
    static const auto f = real<off_t (*)(int, off_t, int)>("lseek");
    return decide("lseek", fd) == 1 ? -1 : f(fd, offset, whence);
}

int ftruncate(int fd, off_t length) {
    static const auto f = real<int (*)(int, off_t)>("ftruncate");
    return decide("ftruncate", fd) == 1 ? -1 : f(fd, length);
}

int fsync(int fd) {
    static const auto f = real<int (*)(int)>("fsync");
    return decide("fsync", fd) == 1 ? -1 : f(fd);
}

int close(int fd) {
    static const auto f = real<int (*)(int)>("close");
    // A close that fails still releases the descriptor, as on Linux.
    bool fail = decide("close", fd) == 1;
    int saved = errno;
    int r = f(fd);
    if (fail) {
        errno = saved;
        return -1;
    }
    return r;
}

int open(const char* path, int flags, ...) {
    static const auto f = real<int (*)(const char*, int, ...)>("open");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, unsigned));
    va_end(ap);
    return decide("open", -1) == 1 ? -1 : f(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    static const auto f = real<int (*)(int, const char*, int, ...)>("openat");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, unsigned));
    va_end(ap);
    return decide("openat", -1) == 1 ? -1 : f(dir, path, flags, mode);
}

int linkat(int olddir, const char* oldpath, int newdir, const char* newpath, int flags) {
    static const auto f = real<int (*)(int, const char*, int, const char*, int)>("linkat");
    return decide("linkat", -1) == 1 ? -1 : f(olddir, oldpath, newdir, newpath, flags);
}

int unlinkat(int dir, const char* path, int flags) {
    static const auto f = real<int (*)(int, const char*, int)>("unlinkat");
    return decide("unlinkat", -1) == 1 ? -1 : f(dir, path, flags);
}

}  // extern "C"
