#include "util/byte_stream.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/alloc.hpp"
#include "util/fatal_signal.hpp"

namespace kestrom {

byte_reader::byte_reader(int fd, std::size_t capacity)
    : fd_(fd), buf_(static_cast<unsigned char*>(xmalloc(capacity))), cap_(capacity) {}

byte_reader::byte_reader(int fd, unsigned char* buffer, std::size_t capacity)
    : fd_(fd), buf_(buffer), cap_(capacity), owned_(false) {}

byte_reader::~byte_reader() {
    if (owned_) xfree(buf_, cap_);
}

std::size_t byte_reader::read_some(unsigned char* dest, std::size_t size) {
    if (at_end_ || error_ != 0) return 0;
    for (;;) {
        check_fatal_signal();
        ssize_t n;
        {
            io_wait_scope wait(io_wait::reading);
            n = ::read(fd_, dest, size);
        }
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0) {
            at_end_ = true;
            return 0;
        }
        if (errno == EINTR) continue;
        error_ = errno;
        return 0;
    }
}

bool byte_reader::fill() {
    if (pos_ < len_) return true;
    const std::size_t n = read_some(buf_, cap_);
    // At the end the last block stays in view (block()), as read() left it.
    if (n == 0) return false;
    consumed_before_ += len_;
    pos_ = 0;
    len_ = n;
    return true;
}

std::size_t byte_reader::read(unsigned char* dest, std::size_t size) {
    if (pos_ < len_) {
        const std::size_t n = size < len_ - pos_ ? size : len_ - pos_;
        std::memcpy(dest, buf_ + pos_, n);
        pos_ += n;
        return n;
    }
    const std::size_t n = read_some(dest, size);
    // At the end the last block stays in view: a pass that reads into its own buffer meets the
    // end there, and what it wrote may still be compared against that block.
    if (n == 0) return 0;
    consumed_before_ += len_ + n;
    pos_ = len_ = 0;
    return n;
}

int byte_reader::refill_and_get() {
    return fill() ? buf_[pos_++] : END;
}

byte_writer::byte_writer(int fd, std::size_t capacity)
    : fd_(fd),
      buf_(static_cast<unsigned char*>(xmalloc(capacity))),
      cap_(capacity),
      room_(capacity) {}

byte_writer::byte_writer(const late_output& late, unsigned char* buffer, std::size_t capacity)
    : fd_(-1),
      late_(&late),
      buf_(buffer != nullptr ? buffer : static_cast<unsigned char*>(xmalloc(capacity))),
      cap_(capacity),
      owned_(buffer == nullptr),
      room_(capacity) {}

byte_writer::~byte_writer() {
    if (owned_) xfree(buf_, cap_);
}

bool byte_writer::write_out(const unsigned char* data, std::size_t size, std::size_t& done) {
    if (fd_ < 0 && late_ != nullptr && done < size) {
        int fd = -1;
        std::int64_t at = -1;
        const long long skipped = late_->take(late_->context, data + done, size - done, fd, at);
        if (skipped < 0) {
            error_ = static_cast<int>(-skipped);
            room_ = 0;
            return false;
        }
        done += static_cast<std::size_t>(skipped);
        if (done < size) {
            if (fd < 0) {
                error_ = EBADF;
                room_ = 0;
                return false;
            }
            fd_ = fd;
            at_ = at;
        }
    }
    while (done < size) {
        check_fatal_signal();
        ssize_t n;
        {
            io_wait_scope wait(io_wait::writing);
            n = at_ < 0 ? ::write(fd_, data + done, size - done)
                        : ::pwrite(fd_, data + done, size - done, static_cast<off_t>(at_));
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            if (at_ >= 0) at_ += n;
        } else if (n == 0 || errno != EINTR) {
            error_ = n < 0 ? errno : ENOSPC;
            room_ = 0;
            return false;
        }
    }
    return true;
}

bool byte_writer::flush() {
    if (error_ != 0) return false;
    // Written bytes leave the buffer as they go, so that an exit on a fatal signal in between
    // writes each byte exactly once.
    if (!write_out(buf_, len_, done_)) return false;
    done_ = len_ = 0;
    return true;
}

bool byte_writer::put_slow(unsigned char c) {
    if (!flush()) return false;
    buf_[len_++] = c;
    return true;
}

bool byte_writer::write_slow(const void* data, std::size_t size) {
    if (error_ != 0) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    if (!flush()) return false;
    if (size >= cap_) {
        std::size_t done = 0;
        return write_out(p, size, done);
    }
    std::memcpy(buf_, p, size);
    len_ = size;
    return true;
}

}  // namespace kestrom
