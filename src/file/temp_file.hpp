// The temporary file of an in-place rewrite. It lives beside the file being rewritten, so that it
// is on the same filesystem, and stays anonymous while the input is filtered. Just before the
// write-back it gets a visible name (".NAME.kestrom-XXXXXX"), so that if the process dies half way
// through the write-back, the complete new content is still on disk; the name goes again when the
// write-back is over. Where the directory cannot take it (not writable, too little free space), an
// anonymous file in $TMPDIR or /tmp serves instead, without that guarantee.
#pragma once

#include <limits.h>
#include <sys/types.h>

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
    char dir[PATH_MAX] = {};            ///< the directory, symbolic links resolved
};

/// Creates the temporary file for rewriting path (symbolic links followed) whose present size is
/// size. Returns false with errno set when not even the fallback could be created.
bool open_rewrite_temp(rewrite_temp& t, const char* path, off_t size);

/// Gives the temporary file its visible name beside the file; false when it cannot have one (the
/// anonymous fallback, or a system that refuses), in which case the write-back goes on without it.
bool name_rewrite_temp(rewrite_temp& t);

/// Removes the visible name, if any; false with errno set when it could not be removed.
bool unname_rewrite_temp(rewrite_temp& t);

/// Closes the temporary file. A name that is still there stays (it holds the only whole copy of
/// the new content); keep must then be true, else the name is removed first.
void close_rewrite_temp(rewrite_temp& t, bool keep = false);

}  // namespace kestrom
