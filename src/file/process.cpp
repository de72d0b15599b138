#include "file/process.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "file/writeback.hpp"
#include "match/stream.hpp"
#include "util/fatal_signal.hpp"
#include "util/message.hpp"

namespace kestrom {

namespace {

/// The input was not processed (it could not be opened): result 1, and no verbose verdict.
constexpr int NOT_PROCESSED = -1;

/// An anonymous temporary file, gone when closed or when the process ends; -1 with errno set.
int open_temporary() {
#ifdef O_TMPFILE
    int fd = ::open("/tmp", O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    char path[] = "/tmp/kestromXXXXXX";
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

/// "can't read '%s': " (or write) and the system's error text on a line of its own.
void report_open_failure(const char* verb, const char* name, int error_code) {
    std::fprintf(stderr, "can't %s '%s': \n", verb, name);
    print_error("", error_code);
}

int overwrite_route(run_state& rs, const char* name) {
    const bool silent = rs.opts.silent;
    int fd = open_file(name, O_RDWR);
    if (fd < 0) {
        if (!silent) report_open_failure("write", name, errno);
        return NOT_PROCESSED;
    }
    int tmp = open_temporary();
    if (tmp < 0) {
        if (!silent) print_error("tmpfile()", errno);
        ::close(fd);
        return NOT_PROCESSED;
    }

    int r;
    {
        byte_reader in(fd);
        byte_writer out(tmp);
        r = run_engine(rs, in, out);
        if (r == RESULT_WRITE_ERROR) {
            if (!silent) std::fprintf(stderr, "can't write %s\n", "tmpfile");
        } else if (in.failed()) {
            // A read error is no end of input: writing back would cut the file short.
            if (!silent) report_open_failure("read", name, in.error_code());
            r = RESULT_WRITE_ERROR;
        }
    }

    if (r == RESULT_CHANGED) {
        mask_signals(true);
        int error_code = 0;
        int synced = filesync(tmp, fd, error_code);
        // A close can report a write the system deferred; then the file is not known to be whole.
        int closed = ::close(fd);
        if (synced == SYNC_OK && closed != 0) {
            synced = SYNC_INCOMPLETE;
            error_code = errno;
        }
        mask_signals(false);
        if (synced != SYNC_OK) {
            if (!silent) print_error("filesync()", error_code);
            r = RESULT_WRITE_ERROR;
        }
    } else {
        ::close(fd);
    }
    ::close(tmp);
    // A signal held back during the write-back ends the run now that the file is complete.
    check_fatal_signal();
    return r;
}

int copy_route(run_state& rs, const char* name) {
    const bool silent = rs.opts.silent;
    int fd = open_file(name, O_RDONLY);
    if (fd < 0) {
        if (!silent) report_open_failure("read", name, errno);
        return NOT_PROCESSED;
    }
    int r;
    {
        byte_reader in(fd);
        r = run_engine(rs, in, rs.std_out);
        if (r == RESULT_WRITE_ERROR) {
            if (!silent) std::fprintf(stderr, "can't write %s\n", "stdout");
        } else if (in.failed()) {
            if (!silent) report_open_failure("read", name, in.error_code());
            r = RESULT_WRITE_ERROR;
        }
    }
    ::close(fd);
    return r;
}

}  // namespace

int open_file(const char* name, int flags) {
    int fd;
    do {
        fd = ::open(name, flags | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool is_directory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int process_file(run_state& rs, const char* name) {
    ++rs.count.files_processed;
    const bool verbose = rs.opts.verbose;
    if (verbose) std::fprintf(stderr, "%s ", name);
    if (is_directory(name)) {
        if (verbose) std::fputs("directory, skipping\n", stderr);
        return RESULT_UNCHANGED;
    }
    int r = rs.opts.overwrite ? overwrite_route(rs, name) : copy_route(rs, name);
    if (r == NOT_PROCESSED) return RESULT_UNCHANGED;
    if (verbose && r != RESULT_WRITE_ERROR) {
        std::fputs(r == RESULT_CHANGED ? "ok\n" : "unchanged\n", stderr);
    }
    return r;
}

}  // namespace kestrom
