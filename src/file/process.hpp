// Per-file processing: one named input, rewritten in place or copied to standard output.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <unordered_map>
#include <utility>

#include "run_state.hpp"
#include "util/alloc.hpp"

namespace kestrom {

/// Why an input that is also the output is not read.
inline constexpr const char* OWN_OUTPUT = "input file is output file";

/// Whether in_fd and out_fd are the same regular file, so that filtering one into the other
/// would read back what it writes.
bool reads_own_output(int in_fd, int out_fd);

/// The files rewritten in place in this run, by device and inode, with the name each first came
/// under and what it got: a file is filtered once, whatever names it has, so that a hard link or a
/// name given twice does not have the replacements applied to their own results.
class filtered_files {
  public:
    struct entry {
        char* name;  ///< owned copy of the first name
        int result;  ///< the per-file result that name got
    };
    filtered_files() = default;
    ~filtered_files();
    filtered_files(const filtered_files&) = delete;
    filtered_files& operator=(const filtered_files&) = delete;

    /// The entry of the file, or null when it has not been filtered in this run.
    const entry* find(dev_t dev, ino_t ino) const;
    void add(dev_t dev, ino_t ino, const char* name, int result);

  private:
    struct file_id {
        dev_t dev;
        ino_t ino;
        bool operator==(const file_id&) const = default;
    };
    struct file_id_hash {
        std::size_t operator()(const file_id& id) const noexcept {
            return std::hash<ino_t>{}(id.ino) ^ (std::hash<dev_t>{}(id.dev) * 0x9e3779b97f4a7c15u);
        }
    };
    std::unordered_map<file_id, entry, file_id_hash, std::equal_to<file_id>,
                       counted_allocator<std::pair<const file_id, entry>>>
        files_;
};

/// Processes the named file with the settings in force; returns the per-file result.
int process_file(run_state& rs, const char* name);

/// Filters standard input to standard output, once per run; returns the per-file result.
int process_stdin(run_state& rs);

/// open(2) of name with the flags, never as a controlling terminal, again when a signal interrupts
/// it; -1 with errno set on failure.
int open_file(const char* name, int flags);

}  // namespace kestrom
