#include "file/temp_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "file/process.hpp"
#include "file/writeback.hpp"
#include "util/fatal_signal.hpp"

namespace kestrom {

namespace {

constexpr char NAME_TAG[] = ".kestrom-";
constexpr int RANDOM_CHARS = 6;
constexpr int NAME_ATTEMPTS = 100;

/// How many leading bytes of a and b, n each, are equal.
std::size_t first_difference(const unsigned char* a, const unsigned char* b, std::size_t n) {
    if (a == b) return n;  // the writer handed on the reader's own buffer
    constexpr std::size_t BLOCK = 64;
    std::size_t i = 0;
    while (i + BLOCK <= n && std::memcmp(a + i, b + i, BLOCK) == 0)
        i += BLOCK;
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

/// An anonymous file in $TMPDIR (or /tmp), gone when closed or when the process ends.
int open_anonymous() {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] != '/') dir = "/tmp";
#ifdef O_TMPFILE
    int fd = ::open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/kestromXXXXXX", dir) >=
        static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd2 = ::mkostemp(path, O_CLOEXEC);
    if (fd2 < 0) return -1;
    if (::unlink(path) != 0) {
        int saved = errno;
        ::close(fd2);
        errno = saved;
        return -1;
    }
    return fd2;
}

/// Writes ".BASE.kestrom-XXXXXX" into t.name with fresh random letters; BASE is cut so that the
/// whole name fits in a directory entry.
void make_name(rewrite_temp& t, int attempt) {
    const char* base = t.base;
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[RANDOM_CHARS];
    if (::getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        // No entropy yet: a collision only costs another attempt.
        unsigned long v = static_cast<unsigned long>(std::time(nullptr)) ^
                          (static_cast<unsigned long>(::getpid()) << 16) ^
                          reinterpret_cast<unsigned long>(&t);
        v += static_cast<unsigned long>(attempt + 1) * 2654435761UL;
        for (unsigned char& r : random) {
            r = static_cast<unsigned char>(v);
            v = v * 6364136223846793005UL + 1442695040888963407UL;
        }
    }
    const int room = TEMP_NAME_MAX - 1 - static_cast<int>(sizeof NAME_TAG - 1) - RANDOM_CHARS;
    const int base_len = static_cast<int>(std::strlen(base));
    int n = std::snprintf(t.name, sizeof t.name, ".%.*s%s", base_len < room ? base_len : room, base,
                          NAME_TAG);
    for (unsigned char r : random)
        t.name[n++] = letters[r % (sizeof letters - 1)];
    t.name[n] = '\0';
}

/// The directory of the file that path leads to, open for use as a base of lookups, with the
/// file's own name within it in t; -1 when it cannot be found. Where the path's last part is the
/// file itself, not a symbolic link (name_is_file says it was seen to be), its directory is the
/// path's own, and the resolved path of the directory waits until a message needs it.
int open_directory_of(rewrite_temp& t, const char* path, const struct stat& file,
                      bool name_is_file) {
    const char* slash = std::strrchr(path, '/');
    const char* base = slash == nullptr ? path : slash + 1;
    const std::size_t dir_len = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
    if (std::strcmp(base, "") != 0 && std::strcmp(base, ".") != 0 && std::strcmp(base, "..") != 0 &&
        std::strlen(base) < sizeof t.base && dir_len + 2 <= sizeof t.dir) {
        if (slash == nullptr) {
            std::strcpy(t.dir, ".");
        } else {
            std::memcpy(t.dir, path, dir_len == 0 ? 1 : dir_len);  // "/name": the root directory
            t.dir[dir_len == 0 ? 1 : dir_len] = '\0';
        }
        const int dir_fd = open_file(t.dir, O_PATH | O_DIRECTORY);
        struct stat st;
        if (dir_fd >= 0 &&
            (name_is_file ||
             (::fstatat(dir_fd, base, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
              st.st_dev == file.st_dev && st.st_ino == file.st_ino))) {
            std::strcpy(t.base, base);
            return dir_fd;
        }
        if (dir_fd >= 0) ::close(dir_fd);
    }
    // A symbolic link (or a path that moved): the file's own directory, found through its links.
    char* real = t.dir;
    if (::realpath(path, real) == nullptr) return -1;
    char* last = std::strrchr(real, '/');
    if (last == nullptr || last[1] == '\0') return -1;
    if (std::strlen(last + 1) >= sizeof t.base) return -1;
    std::strcpy(t.base, last + 1);
    if (last == real) {
        last[1] = '\0';  // the root directory
    } else {
        *last = '\0';
    }
    t.dir_resolved = true;
    return open_file(real, O_PATH | O_DIRECTORY);
}

/// Whether the directory's filesystem has room for a copy of size bytes.
bool has_room(int dir_fd, off_t size) {
    struct statvfs fs;
    if (::fstatvfs(dir_fd, &fs) != 0) return false;
    const unsigned long long free_bytes =
        static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_frsize);
    return free_bytes >= static_cast<unsigned long long>(size);
}

/// Creates the file beside, anonymous where the filesystem can, else under a fresh name.
bool open_beside(rewrite_temp& t, mode_t mode) {
#ifdef O_TMPFILE
    int fd = ::openat(t.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
        t.fd = fd;
        t.late_name = true;
        return true;
    }
    // Only a filesystem without anonymous files makes us name the file from the start.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
#endif
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        make_name(t, attempt);
        int fd2 =
            ::openat(t.dir_fd, t.name, O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd2 >= 0) {
            t.fd = fd2;
            t.named = true;
            // A caught signal must not leave it behind while the input is filtered.
            set_fatal_signal_cleanup(t.dir_fd, t.name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

bool open_rewrite_temp(rewrite_temp& t, const char* path, const struct stat& file,
                       bool name_is_file) {
    t = rewrite_temp{};
    t.dir_fd = open_directory_of(t, path, file, name_is_file);
    if (t.dir_fd >= 0 && has_room(t.dir_fd, file.st_size) && open_beside(t, file.st_mode & 0777)) {
        // Locked as the files we rewrite are, so that another run that finds it by its name
        // while it is visible waits until we are done with it instead of rewriting it under us.
        (void)::flock(t.fd, LOCK_EX | LOCK_NB);
        return true;
    }
    if (t.dir_fd >= 0) ::close(t.dir_fd);
    t.dir_fd = -1;
    t.fd = open_anonymous();
    return t.fd >= 0;
}

const char* rewrite_temp_dir(rewrite_temp& t) {
    if (!t.dir_resolved) {
        char real[PATH_MAX];
        // The directory is still there (the file in it was just rewritten); should it have gone,
        // its path as given is the best that can be said.
        if (::realpath(t.dir, real) != nullptr) std::strcpy(t.dir, real);
        t.dir_resolved = true;
    }
    return t.dir;
}

bool name_rewrite_temp(rewrite_temp& t) {
    if (t.named) return true;
    if (!t.late_name || t.dir_fd < 0) return false;
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", t.fd);
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        make_name(t, attempt);
        if (::linkat(AT_FDCWD, proc_path, t.dir_fd, t.name, AT_SYMLINK_FOLLOW) == 0 ||
            ::linkat(t.fd, "", t.dir_fd, t.name, AT_EMPTY_PATH) == 0) {
            t.named = true;
            set_fatal_signal_cleanup(t.dir_fd, t.name);
            return true;
        }
        if (errno != EEXIST) break;
    }
    t.name[0] = '\0';
    return false;
}

bool unname_rewrite_temp(rewrite_temp& t) {
    if (!t.named) return true;
    clear_fatal_signal_cleanup();
    t.named = false;
    return ::unlinkat(t.dir_fd, t.name, 0) == 0;
}

late_rewrite_temp::late_rewrite_temp(rewrite_temp& t, const char* path, int file_fd,
                                     const struct stat& file, bool name_is_file,
                                     const std::int64_t& replaced, pass_output_kind kind,
                                     const byte_reader& in)
    : t_(t),
      path_(path),
      file_fd_(file_fd),
      file_(file),
      name_is_file_(name_is_file),
      replaced_(replaced),
      replaced_at_start_(replaced),
      kind_(kind),
      in_(in),
      out_{this, &late_rewrite_temp::take} {}

bool late_rewrite_temp::create() {
    if (open_rewrite_temp(t_, path_, file_, name_is_file_)) return true;
    create_error_ = errno != 0 ? errno : EIO;
    return false;
}

std::size_t late_rewrite_temp::same_prefix(const unsigned char* data, std::size_t size) {
    unsigned char scratch[STREAM_BUFFER_SIZE];  // file bytes no longer in the reader's buffer
    std::size_t same = 0;
    while (same < size) {
        const auto at = static_cast<std::uint64_t>(offset_) + same;
        const std::uint64_t block_at = in_.block_offset();
        const std::size_t block_size = in_.block_size();
        const unsigned char* file_bytes;
        std::size_t n = size - same;
        if (at >= block_at && at - block_at < block_size) {
            // Still in the reader's buffer: no read of our own.
            file_bytes = in_.block() + (at - block_at);
            if (n > block_size - (at - block_at)) n = block_size - (at - block_at);
        } else {
            // Past the file's end nothing is the file's own: no read needed to tell.
            if (at >= static_cast<std::uint64_t>(file_.st_size)) return same;
            if (n > STREAM_BUFFER_SIZE) n = STREAM_BUFFER_SIZE;
            ssize_t got;
            do {
                got = ::pread(file_fd_, scratch, n, static_cast<off_t>(at));
            } while (got < 0 && errno == EINTR);
            // Past the end of the file, or unreadable: counted as different, which only writes
            // more than needed.
            if (got <= 0) return same;
            n = static_cast<std::size_t>(got);
            file_bytes = scratch;
        }
        const std::size_t k = first_difference(data + same, file_bytes, n);
        same += k;
        if (k < n) break;
    }
    return same;
}

long long late_rewrite_temp::take(void* context, const unsigned char* data, std::size_t size,
                                  int& fd, std::int64_t& at) {
    auto& self = *static_cast<late_rewrite_temp*>(context);
    const bool replaced = self.replaced_ != self.replaced_at_start_;
    if (self.dropped_) {
        // What was dropped is needed after all: the pass stops here, to run again.
        if (!replaced) return static_cast<long long>(size);
        self.stopped_ = true;
        return -ECANCELED;
    }
    std::size_t same = size;
    if (self.kind_ != pass_output_kind::copies_until_replaced || replaced) {
        same = self.same_prefix(data, size);
    }
    self.offset_ += static_cast<std::int64_t>(same);
    if (same == size) return static_cast<long long>(size);
    if (self.kind_ == pass_output_kind::differences_dropped && !replaced) {
        // Without a replacement nothing is written back, so nothing need be kept.
        self.dropped_ = true;
        return static_cast<long long>(size);
    }
    if (!self.create()) return -self.create_error_;
    // The writer writes at offsets from here on: the new file needs no positioning.
    self.head_ = self.offset_;
    fd = self.t_.fd;
    at = self.offset_;
    return static_cast<long long>(same);
}

std::int64_t late_rewrite_temp::finish(std::int64_t written_end, int& error_code) {
    std::int64_t from = head_;
    std::int64_t head = head_;
    new_length_ = written_end;
    if (t_.fd < 0) {
        // Every byte of the new content is the file's own, so it is a head of the file. Of a
        // content as long as the file, the last byte is written back all the same, so that the
        // file's modification time says it was rewritten.
        if (!create()) {
            error_code = create_error_;
            return -1;
        }
        head = new_length_ = offset_;
        from = offset_ > 0 && offset_ == static_cast<std::int64_t>(file_.st_size) ? offset_ - 1
                                                                                  : offset_;
    }
    error_code = 0;
    if (!copy_range(t_.fd, file_fd_, 0, head, error_code)) return -1;
    return from;
}

void close_rewrite_temp(rewrite_temp& t, bool keep) {
    if (keep) {
        clear_fatal_signal_cleanup();
    } else {
        unname_rewrite_temp(t);
    }
    if (t.fd >= 0) ::close(t.fd);
    if (t.dir_fd >= 0) ::close(t.dir_fd);
    t.fd = t.dir_fd = -1;
}

}  // namespace kestrom
