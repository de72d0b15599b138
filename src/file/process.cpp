#include "file/process.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file/temp_file.hpp"
#include "file/writeback.hpp"
#include "match/stream.hpp"
#include "util/fatal_signal.hpp"
#include "util/message.hpp"

namespace kestrom {

namespace {

/// The input was not processed (it could not be opened): result 1, and no verbose verdict.
constexpr int NOT_PROCESSED = -1;
/// The name leads to something other than a regular file: result 1, skipped like a directory.
constexpr int NOT_REGULAR = -2;

/// "can't read '%s': " (or write) and the system's error text on a line of its own.
void report_open_failure(const char* verb, const char* name, int error_code) {
    std::fprintf(stderr, "can't %s '%s': \n", verb, name);
    print_error("", error_code);
}

/// Why a file is not written back: another writer changed it after it was read.
constexpr const char* CHANGED_WHILE_READ = "'%s' changed while it was being read; left as it is\n";

/// Takes the exclusive lock on the file that every run of ours takes before it reads a file it
/// may rewrite, waiting for the run that holds it; a fatal signal ends the wait and the run. A
/// filesystem that refuses the lock leaves the file unlocked: the check before the write-back
/// still keeps another writer's change.
void lock_file(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR)) return;
    io_wait_scope wait(io_wait::reading);
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

/// Whether two looks at one open file see the same content: a write, an append or a cut in
/// between changes the size or the times.
bool same_file_state(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

/// fsync on a directory given by a lookup-only descriptor.
bool sync_directory(int dir_fd) {
    int d = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return false;
    bool ok = ::fsync(d) == 0;
    ::close(d);
    return ok;
}

/// The write-back, every signal blocked: the temporary file gets its visible name (and, when asked
/// for, reaches the disk with it) before the first byte of the file is touched.
int write_back(const run_state& rs, rewrite_temp& tmp, int fd, std::int64_t new_length,
               std::int64_t old_length, std::int64_t from, int& error_code) {
    const bool recoverable = name_rewrite_temp(tmp);
    if (rs.fsync_writeback && recoverable &&
        (::fsync(tmp.fd) != 0 || !sync_directory(tmp.dir_fd))) {
        error_code = errno;
        return SYNC_KEPT_OLD;
    }
    int synced = filesync(tmp.fd, fd, new_length, old_length, error_code, STREAM_BUFFER_SIZE, from);
    if (synced == SYNC_OK && rs.fsync_writeback && ::fsync(fd) != 0) {
        error_code = errno;
        synced = SYNC_INCOMPLETE;
    }
    return synced;
}

/// A later name of a file filtered already in this run gets what the first name got.
int same_as_first(const run_state& rs, const filtered_files::entry& first) {
    if (rs.opts.verbose) {
        std::fprintf(stderr, "same file as '%s'%s", first.name,
                     first.result == RESULT_WRITE_ERROR ? "\n" : " ");
    }
    return first.result;
}

/// One file on its way through the overwrite route.
struct rewrite_job {
    rewrite_job(run_state& state, const char* file_name, const struct stat* name_st)
        : rs(state), name(file_name), name_status(name_st) {}
    run_state& rs;
    const char* name;
    const struct stat* name_status;  ///< the name's own, when it is no symbolic link, or null
    int fd = -1;
    struct stat st {};
    rewrite_temp tmp;
    std::int64_t from = 0;  ///< the first byte that differs, once the pass has changed the file
    std::int64_t new_length = 0;  ///< of the new content, once the pass has changed the file
    std::int64_t old_length = 0;  ///< bytes the pass read from the file
};

/// A buffer of size bytes kept in slot for the files that follow.
unsigned char* kept_buffer(unsigned char*& slot, std::size_t size) {
    if (slot == nullptr) slot = static_cast<unsigned char*>(xmalloc(size));
    return slot;
}

/// Opens, checks and locks the file; KEEP_GOING when it is to be filtered, else its result.
constexpr int KEEP_GOING = -3;  // beside NOT_PROCESSED and NOT_REGULAR
int open_and_lock(rewrite_job& job) {
    const bool silent = job.rs.opts.silent;
    // Non-blocking, so that a FIFO put in the file's place since it was looked at cannot hold the
    // open; what was opened is checked again before anything is read or written.
    job.fd = open_file(job.name, O_RDWR | O_NONBLOCK);
    if (job.fd < 0) {
        if (!silent) report_open_failure("write", job.name, errno);
        return NOT_PROCESSED;
    }
    // O_NONBLOCK is the only status flag it was opened with.
    (void)::fcntl(job.fd, F_SETFL, 0);
    // What the file is once ours, looked at once: another run may have rewritten it, or removed
    // it (a temporary file of another run, found by its name while it was visible), before the
    // lock came. That run may have let go of the lock just before it was asked for, so the look
    // comes after the lock even when the lock came at once; else its write would count as a
    // change of ours. Something else put in the file's place is let go unread.
    lock_file(job.fd);
    if (::fstat(job.fd, &job.st) != 0) {
        if (!silent) report_open_failure("write", job.name, errno);
        ::close(job.fd);
        return NOT_PROCESSED;
    }
    if (!S_ISREG(job.st.st_mode)) {
        ::close(job.fd);
        return NOT_REGULAR;
    }
    if (job.rs.filtered != nullptr) {
        if (const filtered_files::entry* first =
                job.rs.filtered->find(job.st.st_dev, job.st.st_ino)) {
            ::close(job.fd);
            return same_as_first(job.rs, *first);
        }
    }
    if (job.st.st_nlink == 0) {
        if (!silent) report_open_failure("write", job.name, ENOENT);
        ::close(job.fd);
        return NOT_PROCESSED;
    }
    return KEEP_GOING;
}

/// One pass over the file into its temporary file, which is made at the first byte that differs.
/// Returns the pass's result; create_error is set when no temporary file could be made, rerun
/// when the pass must run again with every difference written.
int filter_pass(rewrite_job& job, pass_output_kind kind, int& create_error, bool& rerun) {
    const bool silent = job.rs.opts.silent;
    byte_reader in(job.fd, kept_buffer(job.rs.file_read_buffer, READ_BUFFER_SIZE),
                   READ_BUFFER_SIZE);
    // The name looked at before the open, no symbolic link, led to the file that was opened.
    const struct stat* seen = job.name_status;
    const bool name_is_file = seen != nullptr && S_ISREG(seen->st_mode) &&
                              seen->st_dev == job.st.st_dev && seen->st_ino == job.st.st_ino;
    late_rewrite_temp late(job.tmp, job.name, job.fd, job.st, name_is_file,
                           job.rs.count.replaced_count, kind, in);
    byte_writer out(late.output(), kept_buffer(job.rs.file_write_buffer, STREAM_BUFFER_SIZE),
                    STREAM_BUFFER_SIZE);
    int r = run_engine(job.rs, in, out);
    int error_code = 0;
    rerun = late.rerun_needed(r);
    if (rerun) return r;
    if (late.create_error() != 0) {
        create_error = late.create_error();
    } else if (r == RESULT_WRITE_ERROR) {
        if (!silent) std::fprintf(stderr, "can't write %s\n", "tmpfile");
    } else if (in.failed()) {
        // A read error is no end of input: writing back would cut the file short.
        if (!silent) report_open_failure("read", job.name, in.error_code());
        r = RESULT_WRITE_ERROR;
    } else if (r == RESULT_CHANGED && (job.from = late.finish(out.end_offset(), error_code)) < 0) {
        if (late.create_error() != 0) {
            create_error = late.create_error();
        } else {
            if (!silent) std::fprintf(stderr, "can't write %s\n", "tmpfile");
            r = RESULT_WRITE_ERROR;
        }
    } else if (r == RESULT_CHANGED) {
        job.new_length = late.new_length();
        job.old_length = static_cast<std::int64_t>(in.bytes_read());
    }
    return r;
}

/// What a pass that is not to count has counted.
void forget_counts(run_state& rs, const counters& before) {
    rs.count.found_count = before.found_count;
    rs.count.replaced_count = before.replaced_count;
}

/// Filters the file into its temporary file; returns the pass's result, with create_error set
/// when no temporary file could be made.
int filter_into_temp(rewrite_job& job, int& create_error) {
    const counters before = job.rs.count;
    bool rerun = false;
    // Line mode's output may differ from the file before its first replacement, and most often
    // nothing is replaced: then nothing need be written anywhere.
    int r = filter_pass(job,
                        job.rs.opts.text_mode ? pass_output_kind::differences_dropped
                                              : pass_output_kind::copies_until_replaced,
                        create_error, rerun);
    if (!rerun) return r;
    // A replacement came after output that was dropped: once more from the start, every
    // difference written. Line mode asks nothing, so the second pass finds what the first did.
    forget_counts(job.rs, before);
    if (::lseek(job.fd, 0, SEEK_SET) != 0) {
        if (!job.rs.opts.silent) report_open_failure("read", job.name, errno);
        return RESULT_WRITE_ERROR;
    }
    return filter_pass(job, pass_output_kind::differences_written, create_error, rerun);
}

/// Writes the new content back into the file, with every signal blocked, and closes it; returns
/// the file's result. keep says whether the temporary file stays beside a file left mixed.
int settle(rewrite_job& job, bool& keep) {
    const bool silent = job.rs.opts.silent;
    rewrite_temp& tmp = job.tmp;
    int r = RESULT_CHANGED;
    mask_signals(true);
    // Another writer (one that takes no lock) may have written to the file since it was read:
    // writing back what was read would undo that write or mix with it.
    struct stat now;
    int error_code = 0;
    int synced;
    bool changed = false;
    if (::fstat(job.fd, &now) != 0) {
        error_code = errno;
        synced = SYNC_KEPT_OLD;
    } else if (!same_file_state(job.st, now)) {
        changed = true;
        synced = SYNC_KEPT_OLD;
    } else {
        synced =
            write_back(job.rs, tmp, job.fd, job.new_length, job.old_length, job.from, error_code);
    }
    // A close can report a write the system deferred; then the file is not known to be whole.
    int closed = ::close(job.fd);
    if (synced == SYNC_OK && closed != 0) {
        synced = SYNC_INCOMPLETE;
        error_code = errno;
    }
    // A file left mixed keeps the one whole copy of its new content beside it.
    keep = synced == SYNC_INCOMPLETE && tmp.named;
    int unlink_error = 0;
    if (!keep && !unname_rewrite_temp(tmp)) unlink_error = errno;
    mask_signals(false);
    const char* dir = unlink_error != 0 || keep ? rewrite_temp_dir(tmp) : "";
    const char* slash = std::strcmp(dir, "/") == 0 ? "" : "/";
    if (unlink_error != 0 && !silent) {
        std::fprintf(stderr, "can't remove '%s%s%s': %s\n", dir, slash, tmp.name,
                     std::strerror(unlink_error));
    }
    if (changed) {
        if (!silent) std::fprintf(stderr, CHANGED_WHILE_READ, job.name);
        r = RESULT_WRITE_ERROR;
    } else if (synced != SYNC_OK) {
        if (!silent) print_error("filesync()", error_code);
        r = RESULT_WRITE_ERROR;
    }
    if (keep) {
        // Said even when silent: the file is damaged and this is how to mend it.
        std::fprintf(stderr, "'%s' is incomplete; its new content is in '%s%s%s'\n", job.name, dir,
                     slash, tmp.name);
    }
    return r;
}

int overwrite_route(run_state& rs, const char* name, const struct stat* name_status) {
    rewrite_job job(rs, name, name_status);
    const int opened = open_and_lock(job);
    if (opened != KEEP_GOING) return opened;
    int create_error = 0;
    const counters before = rs.count;
    int r = filter_into_temp(job, create_error);
    if (create_error != 0) {
        // Without a temporary file the file was not filtered: nothing of it counts as found or
        // replaced, as when the temporary file comes before the pass.
        forget_counts(rs, before);
        if (!rs.opts.silent) print_error("tmpfile()", create_error);
        close_rewrite_temp(job.tmp);
        ::close(job.fd);
        return NOT_PROCESSED;
    }
    // A signal that came while the head was filled ends the run with the file untouched.
    if (r == RESULT_CHANGED) check_fatal_signal();
    bool keep = false;
    if (r == RESULT_CHANGED) {
        r = settle(job, keep);
    } else {
        ::close(job.fd);
    }
    close_rewrite_temp(job.tmp, keep);
    if (rs.filtered != nullptr) rs.filtered->add(job.st.st_dev, job.st.st_ino, name, r);
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
    if (reads_own_output(fd, rs.std_out.fd())) {
        // Each byte written would be read again: the file would grow without end.
        if (!silent) std::fprintf(stderr, "can't read '%s': \n%s\n", name, OWN_OUTPUT);
        ::close(fd);
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

filtered_files::~filtered_files() {
    for (auto& [id, e] : files_)
        xfree(e.name, std::strlen(e.name) + 1);
}

const filtered_files::entry* filtered_files::find(dev_t dev, ino_t ino) const {
    auto it = files_.find(file_id{dev, ino});
    return it == files_.end() ? nullptr : &it->second;
}

void filtered_files::add(dev_t dev, ino_t ino, const char* name, int result) {
    files_.emplace(file_id{dev, ino}, entry{xstrdup(name), result});
}

int open_file(const char* name, int flags) {
    int fd;
    do {
        fd = ::open(name, flags | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool reads_own_output(int in_fd, int out_fd) {
    struct stat in, out;
    return ::fstat(in_fd, &in) == 0 && ::fstat(out_fd, &out) == 0 && S_ISREG(in.st_mode) &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

int process_file(run_state& rs, const char* name) {
    ++rs.count.files_processed;
    const bool verbose = rs.opts.verbose;
    if (verbose) std::fprintf(stderr, "%s ", name);
    // The name itself first: where it is no symbolic link, that look also tells the directory in
    // which the file lies, should a temporary file be needed beside it.
    struct stat st;
    bool known = ::lstat(name, &st) == 0;
    const bool link = known && S_ISLNK(st.st_mode);
    if (link) known = ::stat(name, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        if (verbose) std::fputs("directory, skipping\n", stderr);
        return RESULT_UNCHANGED;
    }
    // Only a regular file can be rewritten in place: a FIFO would block for ever and a device
    // would be read whole and written back. The copy route reads them as cat does.
    int r;
    if (!rs.opts.overwrite) {
        r = copy_route(rs, name);
    } else if (known && !S_ISREG(st.st_mode)) {
        r = NOT_REGULAR;
    } else {
        r = overwrite_route(rs, name, known && !link ? &st : nullptr);
    }
    if (r == NOT_REGULAR) {
        if (verbose) std::fputs("not a regular file, skipping\n", stderr);
        return RESULT_UNCHANGED;
    }
    if (r == NOT_PROCESSED) return RESULT_UNCHANGED;
    if (verbose && r != RESULT_WRITE_ERROR) {
        std::fputs(r == RESULT_CHANGED ? "ok\n" : "unchanged\n", stderr);
    }
    return r;
}

int process_stdin(run_state& rs) {
    ++rs.count.files_processed;
    const settings& o = rs.opts;
    if (o.verbose) std::fputs("stdin ", stderr);
    if (rs.stdin_used) {
        if (!o.silent) {
            std::fputs("Warning: cannot process stdin twice\n", stderr);
        } else if (o.verbose) {
            std::fputs("\n", stderr);
        }
        return RESULT_UNCHANGED;
    }
    if (reads_own_output(0, rs.std_out.fd())) {
        if (!o.silent) std::fprintf(stderr, "can't read stdin: %s\n", OWN_OUTPUT);
        rs.stdin_used = true;
        return RESULT_UNCHANGED;
    }
    byte_reader in(0);
    int r = run_engine(rs, in, rs.std_out);
    if (r == RESULT_WRITE_ERROR) {
        if (!o.silent) print_error("can't write stdout", rs.std_out.error_code());
    } else if (in.failed()) {
        // A read error is no end of input: the output is incomplete.
        r = RESULT_WRITE_ERROR;
        if (!o.silent) print_error("can't read stdin", in.error_code());
    } else if (o.verbose) {
        std::fputs(r == RESULT_CHANGED ? "ok\n" : "unchanged\n", stderr);
    }
    rs.stdin_used = true;
    return r;
}

}  // namespace kestrom
