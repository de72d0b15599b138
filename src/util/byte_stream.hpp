// Buffered byte streams over file descriptors: an inline single-byte get/put for the matchers,
// block transfers for runs, and every error kept for the caller to report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrom {

/// Size of the write buffers and of the write-back pieces.
inline constexpr std::size_t STREAM_BUFFER_SIZE = 65536;
/// Size of the read buffers: a pass that writes what it does not change straight from the
/// reader's buffer makes half the system calls with reads twice as large.
inline constexpr std::size_t READ_BUFFER_SIZE = 2 * STREAM_BUFFER_SIZE;

/// Copies size bytes, n <= size <= 2 * n, as the first and the last n (which may overlap).
template <std::size_t n>
void copy_ends(unsigned char* to, const unsigned char* from, std::size_t size) {
    unsigned char head[n], tail[n];
    std::memcpy(head, from, n);
    std::memcpy(tail, from + size - n, n);
    std::memcpy(to, head, n);
    std::memcpy(to + size - n, tail, n);
}

/// Copies size bytes. The short copies between close found texts take no call.
inline void copy_bytes(unsigned char* to, const unsigned char* from, std::size_t size) {
    if (size > 32) {
        std::memcpy(to, from, size);
    } else if (size >= 16) {
        copy_ends<16>(to, from, size);
    } else if (size >= 8) {
        copy_ends<8>(to, from, size);
    } else if (size >= 4) {
        copy_ends<4>(to, from, size);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

/// Reads a file descriptor through a buffer. Never closes the descriptor.
class byte_reader {
  public:
    static constexpr int END = -1;  ///< get() at the end of the input or after a read error

    explicit byte_reader(int fd, std::size_t capacity = READ_BUFFER_SIZE);
    /// A reader over a buffer of capacity bytes that the caller keeps, for a run of many files.
    byte_reader(int fd, unsigned char* buffer, std::size_t capacity);
    ~byte_reader();
    byte_reader(const byte_reader&) = delete;
    byte_reader& operator=(const byte_reader&) = delete;

    /// The next byte (0..255), or END.
    int get() { return pos_ < len_ ? buf_[pos_++] : refill_and_get(); }

    /// Bytes buffered and not yet taken; fill() refills an empty buffer (false at the end).
    const unsigned char* buffered() const { return buf_ + pos_; }
    std::size_t buffered_size() const { return len_ - pos_; }
    void consume(std::size_t n) { pos_ += n; }
    bool fill();
    /// Moves up to size bytes to dest: buffered ones if any, else straight from the descriptor,
    /// with no copy. Returns how many; 0 at the end of the input or after a read error.
    std::size_t read(unsigned char* dest, std::size_t size);

    /// A read failed (not the end of the input); error_code() is its errno.
    bool failed() const { return error_ != 0; }
    int error_code() const { return error_; }
    /// Bytes handed out so far.
    std::uint64_t offset() const { return consumed_before_ + pos_; }
    /// Bytes read from the descriptor so far: where its position stands, from where it was.
    std::uint64_t bytes_read() const { return consumed_before_ + len_; }
    /// The whole buffer as last filled, the bytes handed out from it too, and the input offset of
    /// its first byte: what a consumer may still compare against what it was given.
    const unsigned char* block() const { return buf_; }
    std::size_t block_size() const { return len_; }
    std::uint64_t block_offset() const { return consumed_before_; }
    int fd() const { return fd_; }

  private:
    int refill_and_get();
    std::size_t read_some(unsigned char* dest, std::size_t size);

    int fd_;
    unsigned char* buf_;
    std::size_t cap_;
    bool owned_ = true;  // buf_ is ours to free
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::uint64_t consumed_before_ = 0;
    bool at_end_ = false;
    int error_ = 0;
};

/// An output that a writer opens only once it is needed. Until then each block that the writer
/// would write goes to take(), which returns how many of its leading bytes need not be written
/// (all of them while the output is not needed yet). When it returns fewer, it has set fd to the
/// descriptor that takes the rest and all that follows, and at to the offset in it where the rest
/// goes, from which on the writer writes at its own offsets (or to -1: at the descriptor's
/// position). A negative result is a failure, -errno.
struct late_output {
    void* context;
    long long (*take)(void* context, const unsigned char* data, std::size_t size, int& fd,
                      std::int64_t& at);
};

/// Writes a file descriptor through a buffer. Never closes the descriptor; flush() before use of
/// the descriptor elsewhere. After a failure every further write fails too.
class byte_writer {
  public:
    explicit byte_writer(int fd, std::size_t capacity = STREAM_BUFFER_SIZE);
    /// A writer whose descriptor comes from late when its first byte must be written, over a
    /// buffer of capacity bytes that the caller keeps (null: one of its own).
    explicit byte_writer(const late_output& late, unsigned char* buffer = nullptr,
                         std::size_t capacity = STREAM_BUFFER_SIZE);
    ~byte_writer();
    byte_writer(const byte_writer&) = delete;
    byte_writer& operator=(const byte_writer&) = delete;

    /// Appends one byte; false when a write failed.
    bool put(unsigned char c) {
        if (len_ < room_) {
            buf_[len_++] = c;
            return true;
        }
        return put_slow(c);
    }
    /// Appends size bytes; false when a write failed. A whole buffer's worth or more is written
    /// straight from data, not copied first.
    bool write(const void* data, std::size_t size) {
        if (size < room_ - len_ && len_ < room_) {
            copy_bytes(buf_ + len_, static_cast<const unsigned char*>(data), size);
            len_ += size;
            return true;
        }
        return write_slow(data, size);
    }
    /// write() for data that may be read up to PADDING bytes past its start whatever its size:
    /// a short run, as between close found texts, is then copied as one block of that size.
    static constexpr std::size_t PADDING = 32;
    bool write_padded(const unsigned char* data, std::size_t size) {
        if (size <= PADDING && PADDING < room_ - len_ && len_ < room_) {
            unsigned char block[PADDING];
            std::memcpy(block, data, PADDING);
            std::memcpy(buf_ + len_, block, PADDING);
            len_ += size;
            return true;
        }
        return write(data, size);
    }
    /// Hands everything buffered to the system; false when a write failed.
    bool flush();

    bool failed() const { return error_ != 0; }
    int error_code() const { return error_; }
    int fd() const { return fd_; }
    /// The offset after the last byte written at an offset that late gave, or -1 when none was.
    std::int64_t end_offset() const { return at_; }

    /// What is buffered and not yet written (for the fatal-signal exit).
    const unsigned char* pending_data() const { return buf_ + done_; }
    std::size_t pending_size() const { return len_ - done_; }

  private:
    bool put_slow(unsigned char c);
    bool write_slow(const void* data, std::size_t size);
    /// Writes data[done..size), advancing done as bytes leave; false when a write failed.
    bool write_out(const unsigned char* data, std::size_t size, std::size_t& done);

    int fd_;
    const late_output* late_ = nullptr;  // asked for the descriptor while fd_ is -1
    std::int64_t at_ = -1;               // where the next byte goes, or -1: the position
    unsigned char* buf_;
    std::size_t cap_;
    bool owned_ = true;  // buf_ is ours to free
    std::size_t room_;   // cap_, or 0 once a write failed, so that put() fails at once
    std::size_t len_ = 0;
    std::size_t done_ = 0;  // bytes of the buffer already written by an interrupted flush
    int error_ = 0;
};

}  // namespace kestrom
