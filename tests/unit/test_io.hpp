// In-memory files for unit tests: a memfd holds what a reader reads or what a writer wrote.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace kestrom::test {

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

    /// The whole content, whatever the position; the position is left where it was.
    std::string content() const {
        off_t pos = ::lseek(fd_, 0, SEEK_CUR);
        std::string out;
        char buf[65536];
        ssize_t n;
        off_t at = 0;
        while ((n = ::pread(fd_, buf, sizeof buf, at)) > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            at += n;
        }
        ::lseek(fd_, pos, SEEK_SET);
        return out;
    }

  private:
    int fd_;
};

}  // namespace kestrom::test
