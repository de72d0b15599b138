#include "file/writeback.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrom {

namespace {

std::size_t clamp_piece(std::size_t piece) {
    if (piece == 0) return 1;
    return piece > STREAM_BUFFER_SIZE ? STREAM_BUFFER_SIZE : piece;
}

/// Reads up to size bytes at offset at (fewer only at the end or on an error, which sets
/// error_code).
std::size_t read_full(int fd, unsigned char* buf, std::size_t size, std::int64_t at,
                      int& error_code) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, buf + done, size - done, static_cast<off_t>(at) + done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error_code = errno;
            break;
        }
    }
    return done;
}

/// Writes size bytes at offset at; returns how many were written before a failure.
std::size_t write_full(int fd, const unsigned char* buf, std::size_t size, std::int64_t at,
                       int& error_code) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd, buf + done, size - done, static_cast<off_t>(at) + done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            error_code = n < 0 ? errno : ENOSPC;
            break;
        }
    }
    return done;
}

/// ftruncate, again when a signal interrupts it; false with errno set on a failure.
bool truncate_to(int fd, off_t length) {
    while (::ftruncate(fd, length) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

std::int64_t copy_stream(int dest_fd, int src_fd, std::int64_t at, std::int64_t count,
                         int& error_code, std::size_t piece) {
    unsigned char buf[STREAM_BUFFER_SIZE];
    piece = clamp_piece(piece);
    std::int64_t total = 0;
    while (total < count) {
        const std::size_t want = count - total < static_cast<std::int64_t>(piece)
                                     ? static_cast<std::size_t>(count - total)
                                     : piece;
        std::size_t n = read_full(src_fd, buf, want, at + total, error_code);
        if (n == 0) break;
        std::size_t w = write_full(dest_fd, buf, n, at + total, error_code);
        total += static_cast<std::int64_t>(w);
        if (w < n) break;
        if (n < want) break;  // the end of src, or a read error
    }
    return total;
}

std::int64_t copy_head(int dest_fd, int src_fd, std::int64_t at, std::int64_t count,
                       int& error_code, std::size_t piece, std::int64_t* written) {
    unsigned char buf[STREAM_BUFFER_SIZE];
    piece = clamp_piece(piece);
    std::int64_t remaining = count;
    std::int64_t total = 0;
    while (remaining > 0) {
        std::size_t want = remaining < static_cast<std::int64_t>(piece)
                               ? static_cast<std::size_t>(remaining)
                               : piece;
        std::size_t n = read_full(src_fd, buf, want, at + total, error_code);
        if (n == 0) break;
        remaining -= static_cast<std::int64_t>(n);
        std::size_t w = write_full(dest_fd, buf, n, at + total, error_code);
        total += static_cast<std::int64_t>(w);
        if (w < n) {
            if (written != nullptr) *written = total;
            return total;
        }
    }
    std::int64_t zeros = 0;
    if (remaining > 0) {
        // src ran short: the rest of the head becomes zeros rather than stale old bytes.
        std::memset(buf, 0, piece);
        while (remaining > 0) {
            std::size_t want = remaining < static_cast<std::int64_t>(piece)
                                   ? static_cast<std::size_t>(remaining)
                                   : piece;
            std::size_t w = write_full(dest_fd, buf, want, at + total + zeros, error_code);
            if (w == 0) break;
            remaining -= static_cast<std::int64_t>(w);
            zeros += static_cast<std::int64_t>(w);
        }
        if (error_code == 0) error_code = EIO;
    }
    if (written != nullptr) *written = total + zeros;
    return total;
}

bool copy_range(int dest_fd, int src_fd, std::int64_t begin, std::int64_t end, int& error_code,
                std::size_t piece) {
    std::int64_t at = begin;
    // The kernel copies without bringing the bytes to us, and may share the blocks.
    while (at < end) {
        off_t in = at, out = at;
        ssize_t n =
            ::copy_file_range(src_fd, &in, dest_fd, &out, static_cast<std::size_t>(end - at), 0);
        if (n > 0) {
            at += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                             errno == ENOSYS || errno == EBADF || errno == ETXTBSY)) {
            break;  // refused here: the rest goes through a buffer
        } else {
            error_code = n < 0 ? errno : EIO;  // 0: the file is shorter than it was
            return false;
        }
    }
    unsigned char buf[STREAM_BUFFER_SIZE];
    piece = clamp_piece(piece);
    while (at < end) {
        const std::size_t want = end - at < static_cast<std::int64_t>(piece)
                                     ? static_cast<std::size_t>(end - at)
                                     : piece;
        ssize_t n = ::pread(src_fd, buf, want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_code = n < 0 ? errno : EIO;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w =
                ::pwrite(dest_fd, buf + done, static_cast<std::size_t>(n - done), at + done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                error_code = w < 0 ? errno : ENOSPC;
                return false;
            }
            done += w;
        }
        at += n;
    }
    return true;
}

int filesync(int tmp_fd, int file_fd, std::int64_t new_length, std::int64_t old_length,
             int& error_code, std::size_t piece, std::int64_t from) {
    error_code = 0;
    if (new_length < 0 || old_length < 0) {
        error_code = EINVAL;
        return SYNC_KEPT_OLD;
    }

    // Cuts an appended tail off again; the old content below old_length was never touched.
    auto cut_back = [&]() {
        int saved = error_code != 0 ? error_code : errno;
        int r =
            truncate_to(file_fd, static_cast<off_t>(old_length)) ? SYNC_KEPT_OLD : SYNC_INCOMPLETE;
        error_code = saved != 0 ? saved : EIO;
        return r;
    };
    if (from < 0 || from > new_length || from > old_length) from = 0;

    std::int64_t count = old_length;
    if (new_length > old_length) {
        std::int64_t n =
            copy_stream(file_fd, tmp_fd, old_length, new_length - old_length, error_code, piece);
        if (n != new_length - old_length) return cut_back();
    } else if (new_length < old_length) {
        if (!truncate_to(file_fd, static_cast<off_t>(new_length))) {
            error_code = errno;
            return SYNC_KEPT_OLD;
        }
        count = new_length;
    }
    count -= from;
    std::int64_t written = 0;
    std::int64_t copied = copy_head(file_fd, tmp_fd, from, count, error_code, piece, &written);
    if (copied == count) return SYNC_OK;
    // Nothing reached the head: unless the file was cut short, it is still wholly old once an
    // appended tail is cut off again.
    if (written == 0 && new_length >= old_length) {
        return new_length > old_length ? cut_back() : SYNC_KEPT_OLD;
    }
    return SYNC_INCOMPLETE;
}

void mask_signals(bool block) {
    // The mask of the whole run, saved once: nothing else in the program changes it.
    static bool first_call = true;
    static sigset_t saved_mask;
    static sigset_t all_signals;
    if (first_call) {
        sigprocmask(SIG_SETMASK, nullptr, &saved_mask);
        sigfillset(&all_signals);
        first_call = false;
    }
    if (block) {
        sigprocmask(SIG_BLOCK, &all_signals, nullptr);
    } else {
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    }
}

}  // namespace kestrom
