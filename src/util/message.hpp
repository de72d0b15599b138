// Messages on standard error.
#pragma once

namespace kestrom {

/// Like perror for a kept error code: "prefix: text\n", or the text alone for an empty prefix.
void print_error(const char* prefix, int error_code);

}  // namespace kestrom
