// In-place write-back: makes a file's content equal to a temporary file's by writing into the
// file itself, so that its inode, owner, mode and hard links stay. The part beyond the common
// length is settled first (append or cut), the common head is overwritten second. Every copy
// reads and writes at offsets, so that no file is positioned first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/byte_stream.hpp"

namespace kestrom {

/// Results of filesync.
enum : int {
    SYNC_OK = 0,          ///< the file holds exactly the new content
    SYNC_KEPT_OLD = 1,    ///< nothing of the old content was overwritten; the file is as before
    SYNC_INCOMPLETE = 2,  ///< the file may hold a mix of new bytes, old bytes and zeros
};

/// Rewrites file_fd, of old_length bytes, with the content of tmp_fd, of new_length bytes, in
/// pieces of at most piece bytes, at their offsets: neither file's position is used or moved.
/// error_code receives the errno of a failure. The bytes before from are the same in both and
/// are not written; from is at most the smaller length.
int filesync(int tmp_fd, int file_fd, std::int64_t new_length, std::int64_t old_length,
             int& error_code, std::size_t piece = STREAM_BUFFER_SIZE, std::int64_t from = 0);

/// Copies the bytes from begin to end of src to the same offsets of dest, in the kernel where
/// the filesystems allow it, else through a buffer in pieces of at most piece bytes; neither
/// file's position moves. False with error_code set when not all of them were copied.
bool copy_range(int dest_fd, int src_fd, std::int64_t begin, std::int64_t end, int& error_code,
                std::size_t piece = STREAM_BUFFER_SIZE);

/// Copies count bytes of src from at, or fewer where src ends, to the same offsets of dest;
/// returns how many were written. Neither file's position moves.
std::int64_t copy_stream(int dest_fd, int src_fd, std::int64_t at, std::int64_t count,
                         int& error_code, std::size_t piece = STREAM_BUFFER_SIZE);

/// Copies the count bytes of src from at to the same offsets of dest and returns how many came
/// from src and were written. When src runs short, the rest of the count is written as zero
/// bytes. written, when given, receives every byte written to dest, the zeros too. Neither
/// file's position moves.
std::int64_t copy_head(int dest_fd, int src_fd, std::int64_t at, std::int64_t count,
                       int& error_code, std::size_t piece = STREAM_BUFFER_SIZE,
                       std::int64_t* written = nullptr);

/// true blocks every signal; false restores the mask saved at the first call.
void mask_signals(bool block);

}  // namespace kestrom
