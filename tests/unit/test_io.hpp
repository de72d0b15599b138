// In-memory files for unit tests: a memfd holds what a reader reads or what a writer wrote.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace kestrom::test {

/// The whole content of a file, read without moving its position.
inline std::string read_all(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(fd, buf, sizeof buf, at)) > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return out;
}

/// An anonymous in-memory file, closed when the object goes.
class mem_file {
  public:
    explicit mem_file(const std::string& content = "") : fd_(memfd_create("kestrom-test", 0)) {
        if (!content.empty() && ::write(fd_, content.data(), content.size()) < 0) fd_ = -1;
        ::lseek(fd_, 0, SEEK_SET);
    }
    ~mem_file() { ::close(fd_); }
    mem_file(const mem_file&) = delete;
    mem_file& operator=(const mem_file&) = delete;

    int fd() const { return fd_; }

    /// The whole content, whatever the position.
    std::string content() const { return read_all(fd_); }

  private:
    int fd_;
};

}  // namespace kestrom::test
