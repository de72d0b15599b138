// In-memory files for unit tests: a memfd holds what a reader reads or what a writer wrote.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
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

    /// The whole content, read through a descriptor of its own, whatever the position.
    std::string content() const {
        std::ifstream f("/proc/self/fd/" + std::to_string(fd_), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }

  private:
    int fd_;
};

}  // namespace kestrom::test
