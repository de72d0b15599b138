// Fault injection, loaded into kestrom with LD_PRELOAD by the end-to-end tests. One system call
// fails (or stops the process) at its k-th use, so that a test can check what every failure at
// every moment leaves on disk. Set by the environment:
//   KFAULT_CALL    read, write, pread, pwrite, copy_file_range, lseek, ftruncate, close, open,
//                  openat, linkat, fsync, unlinkat, flock or fstat; or several, separated by
//                  commas, whose uses are counted together
//   KFAULT_AT      k: the call to act on (1 = the first); 0 or unset: never
//   KFAULT_ACTION  an errno name (EIO, ENOSPC, EFBIG, EINTR, EOPNOTSUPP), SHORT (read or write
//                  half the bytes) or STOP (SIGSTOP just before the call, which nothing can block)
//   KFAULT_FILE    count only calls on descriptors of this file (not for open, openat, linkat)
//   KFAULT_COUNT   a file that receives the number of calls of KFAULT_CALL seen so far
//   KFAULT_REFUSE  copy_file_range: it always fails with EXDEV, as between two filesystems, so
//                  that the copy goes through pread and pwrite
// The library defines read and its kin itself: the fortified inline wrappers must not exist here.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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
    const char* call;
    long at;
    int error;  // errno to fail with; 0 with short_count or stop
    bool short_count, stop, by_file;
    struct stat file;
    const char* count_path;
    long seen;
};

const char* env(const char* name, const char* otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

fault_plan load() {
    fault_plan p{};
    p.call = env("KFAULT_CALL", "");
    p.at = std::atol(env("KFAULT_AT", "0"));
    p.count_path = std::getenv("KFAULT_COUNT");
    p.by_file = stat(env("KFAULT_FILE", ""), &p.file) == 0;
    const char* a = env("KFAULT_ACTION", "EIO");
    p.short_count = std::strcmp(a, "SHORT") == 0;
    p.stop = std::strcmp(a, "STOP") == 0;
    p.error = EIO;
    const std::pair<const char*, int> errors[] = {{"ENOSPC", ENOSPC},
                                                  {"EFBIG", EFBIG},
                                                  {"EINTR", EINTR},
                                                  {"EOPNOTSUPP", EOPNOTSUPP},
                                                  {"EXDEV", EXDEV}};
    for (auto [name, error] : errors)
        if (std::strcmp(a, name) == 0) p.error = error;
    return p;
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

/// Whether name is one of the comma-separated names of list.
bool listed(const char* list, const char* name) {
    const std::size_t n = std::strlen(name);
    for (const char* at = list; *at != '\0';) {
        const char* comma = std::strchr(at, ',');
        const std::size_t len =
            comma != nullptr ? static_cast<std::size_t>(comma - at) : std::strlen(at);
        if (len == n && std::strncmp(at, name, n) == 0) return true;
        if (comma == nullptr) break;
        at = comma + 1;
    }
    return false;
}

/// What to do with this call: 0 go on, 1 fail with errno set, 2 cut the count short.
int decide(const char* name, int fd) {
    static fault_plan p = load();
    // The C library's own, since fstat may be the call under test.
    static const auto real_fstat = real<int (*)(int, struct stat*)>("fstat");
    if (!listed(p.call, name)) return 0;
    if (p.by_file && fd >= 0) {
        struct stat st;
        if (real_fstat(fd, &st) != 0 || st.st_dev != p.file.st_dev || st.st_ino != p.file.st_ino) {
            return 0;
        }
    }
    ++p.seen;
    // The count goes out through stdio, whose own calls inside the C library do not come here.
    if (std::FILE* f = p.count_path != nullptr ? std::fopen(p.count_path, "we") : nullptr) {
        std::fprintf(f, "%ld\n", p.seen);
        std::fclose(f);
    }
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

// A call that fails or goes to the C library's own; fd is the descriptor checked against
// KFAULT_FILE (-1: none).
#define FAILING(ret, name, fd, params, args)              \
    ret name params {                                     \
        static const auto f = real<ret(*) params>(#name); \
        return decide(#name, fd) == 1 ? -1 : f args;      \
    }

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

ssize_t pread(int fd, void* data, size_t size, off_t at) {
    static const auto f = real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    const int d = decide("pread", fd);
    return d == 1 ? -1 : f(fd, data, d == 2 && size > 1 ? size / 2 : size, at);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t at) {
    static const auto f = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    const int d = decide("pwrite", fd);
    return d == 1 ? -1 : f(fd, data, d == 2 && size > 1 ? size / 2 : size, at);
}

ssize_t copy_file_range(int in, off_t* in_at, int out, off_t* out_at, size_t size, unsigned flags) {
    static const auto f =
        real<ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned)>("copy_file_range");
    static const bool refused = std::getenv("KFAULT_REFUSE") != nullptr;
    if (refused) {
        errno = EXDEV;
        return -1;
    }
    const int d = decide("copy_file_range", out);
    return d == 1 ? -1 : f(in, in_at, out, out_at, d == 2 && size > 1 ? size / 2 : size, flags);
}

FAILING(off_t, lseek, fd, (int fd, off_t offset, int whence), (fd, offset, whence))
FAILING(int, ftruncate, fd, (int fd, off_t length), (fd, length))
FAILING(int, fsync, fd, (int fd), (fd))
FAILING(int, flock, fd, (int fd, int operation), (fd, operation))
FAILING(int, fstat, fd, (int fd, struct stat* st), (fd, st))
FAILING(int, linkat, -1, (int od, const char* op, int nd, const char* np, int fl),
        (od, op, nd, np, fl))
FAILING(int, unlinkat, -1, (int dir, const char* path, int flags), (dir, path, flags))

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

}  // extern "C"
