// The temporary file of an in-place rewrite. It lives beside the file being rewritten, so that it
// is on the same filesystem, and stays anonymous while the input is filtered. Just before the
// write-back it gets a visible name (".NAME.kestrom-XXXXXX"), so that if the process dies half way
// through the write-back, the complete new content is still on disk; the name goes again when the
// write-back is over. Where the directory cannot take it (not writable, too little free space), an
// anonymous file in $TMPDIR or /tmp serves instead, without that guarantee.
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "settings.hpp"
#include "util/byte_stream.hpp"

namespace kestrom {

/// Longest name of a directory entry that we make.
inline constexpr int TEMP_NAME_MAX = 255;

struct rewrite_temp {
    int fd = -1;             ///< the temporary file, open for reading and writing
    int dir_fd = -1;         ///< the directory beside the file, or -1 for the anonymous fallback
    bool late_name = false;  ///< anonymous until named (otherwise named from its creation)
    bool named = false;      ///< a visible name exists now
    char name[TEMP_NAME_MAX + 1] = {};  ///< that name, within the directory
    char base[TEMP_NAME_MAX + 1] = {};  ///< the name of the file being rewritten
    char dir[PATH_MAX] = {};            ///< the directory (see rewrite_temp_dir)
    bool dir_resolved = false;          ///< dir has its symbolic links resolved
};

/// Creates the temporary file for rewriting path (symbolic links followed), which file describes,
/// with the file's permission bits. name_is_file says that the last part of path was seen to be
/// the file itself, not a symbolic link, after the file was opened, so that its directory is
/// path's own without a further look. Returns false with errno set when not even the fallback
/// could be created.
bool open_rewrite_temp(rewrite_temp& t, const char* path, const struct stat& file,
                       bool name_is_file = false);

/// The path of the directory beside the file, symbolic links resolved, for messages.
const char* rewrite_temp_dir(rewrite_temp& t);

/// Gives the temporary file its visible name beside the file; false when it cannot have one (the
/// anonymous fallback, or a system that refuses), in which case the write-back goes on without it.
bool name_rewrite_temp(rewrite_temp& t);

/// Removes the visible name, if any; false with errno set when it could not be removed.
bool unname_rewrite_temp(rewrite_temp& t);

/// Closes the temporary file. A name that is still there stays (it holds the only whole copy of
/// the new content); keep must then be true, else the name is removed first.
void close_rewrite_temp(rewrite_temp& t, bool keep = false);

/// How a pass's output relates to the file before the pass's first replacement.
enum class pass_output_kind {
    /// The file's own bytes (a pass writes its input unchanged until its first replacement), so
    /// nothing is compared until then.
    copies_until_replaced,
    /// Possibly different (line mode drops carriage returns and ends the last line): every byte
    /// is compared. A difference met before any replacement is not written, since without a
    /// replacement nothing is written back; should a replacement follow, the pass stops and must
    /// run again (rerun_needed) with differences_written.
    differences_dropped,
    /// Possibly different, and every difference is written from where it occurs.
    differences_written,
};

/// The output of a pass that rewrites a file in place: the temporary file is made only when the
/// pass first writes a byte that differs from the file's own at the same offset, and it gets the
/// bytes from there on, at their offsets. Until then nothing is written: a file without a find
/// costs its read alone. Before the write-back finish() fills the head, the bytes before the
/// first difference, from the file, so that the temporary file holds the whole new content.
class late_rewrite_temp {
  public:
    /// file_fd is open on path, which file describes; name_is_file as for open_rewrite_temp.
    /// replaced is the run's count of
    /// replacements, which tells whether the pass has replaced anything yet. in reads the file:
    /// its buffer spares the comparison a read of its own.
    late_rewrite_temp(rewrite_temp& t, const char* path, int file_fd, const struct stat& file,
                      bool name_is_file, const std::int64_t& replaced, pass_output_kind kind,
                      const byte_reader& in);
    late_rewrite_temp(const late_rewrite_temp&) = delete;
    late_rewrite_temp& operator=(const late_rewrite_temp&) = delete;

    /// What the pass's writer writes to.
    const late_output& output() const { return out_; }
    /// The errno of a temporary file that could not be made, or 0.
    int create_error() const { return create_error_; }
    /// Given the pass's result: whether output was dropped that a replacement needs, so that
    /// the pass must run again from the file's start (its writer's failure, if any, is this).
    bool rerun_needed(int result) const {
        return dropped_ && (stopped_ || result == RESULT_CHANGED);
    }

    /// After a pass that replaced something, with its writer flushed and written_end its
    /// end_offset(): makes the temporary file if the pass never needed one and fills its head
    /// from the file. Returns the offset of the first byte the write-back must write, or -1 with
    /// error_code set (create_error() tells whether the file could not be made at all).
    std::int64_t finish(std::int64_t written_end, int& error_code);
    /// The length of the new content, once finish() has succeeded.
    std::int64_t new_length() const { return new_length_; }

  private:
    static long long take(void* context, const unsigned char* data, std::size_t size, int& fd,
                          std::int64_t& at);
    std::size_t same_prefix(const unsigned char* data, std::size_t size);
    bool create();

    rewrite_temp& t_;
    const char* path_;
    int file_fd_;
    const struct stat& file_;
    bool name_is_file_;
    const std::int64_t& replaced_;
    const std::int64_t replaced_at_start_;
    pass_output_kind kind_;
    const byte_reader& in_;
    late_output out_;
    std::int64_t offset_ = 0;  ///< output bytes taken so far
    std::int64_t head_ = -1;   ///< offset of the first difference, once the file is made
    std::int64_t new_length_ = -1;
    int create_error_ = 0;
    bool dropped_ = false;  ///< a difference was met before any replacement and not written
    bool stopped_ = false;  ///< a replacement followed it: the writer was made to fail
};

}  // namespace kestrom
