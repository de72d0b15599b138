#include "util/message.hpp"

#include <cstdio>
#include <cstring>

namespace kestrom {

void print_error(const char* prefix, int error_code) {
    if (prefix[0] == '\0') {
        std::fprintf(stderr, "%s\n", std::strerror(error_code));
    } else {
        std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(error_code));
    }
}

}  // namespace kestrom
