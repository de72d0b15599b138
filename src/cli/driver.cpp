#include "cli/driver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/arg_file.hpp"
#include "cli/pattern_source.hpp"
#include "cli/screens.hpp"
#include "file/process.hpp"
#include "pattern/register.hpp"
#include "util/alloc.hpp"
#include "util/fatal_signal.hpp"
#include "util/message.hpp"

namespace kestrom {

namespace {

/// Ends the run at once with status, standard output flushed.
[[noreturn]] void end_run(run_state& rs, int status) {
    rs.std_out.flush();
    std::fflush(stderr);
    std::_Exit(status);
}

/// Ends the run after a screen: status 1, and a failed write of it said unless silent.
[[noreturn]] void end_after_screen(run_state& rs) {
    if (!rs.std_out.flush() && !rs.opts.silent) {
        print_error("can't write stdout", rs.std_out.error_code());
    }
    end_run(rs, 1);
}

/// Takes search (size bytes, owned) as the pending search: always a copy of the driver's own, since
/// an argument from an argument file is overwritten by the next token.
void set_pending_search(run_state& rs, char* search, std::size_t size) {
    xfree(rs.pending_search, rs.pending_size);
    rs.pending_search = search;
    rs.pending_size = size;
}

/// Switches the setting of a letter that takes nothing after it; false for any other letter.
bool switch_setting(settings& o, char letter) {
    switch (letter) {
        case '-':
            o.options_on = false;
            return true;
        case '0':
            o.in_term = '\0';
            return true;
        case 'N':
            o.auto_reply_yes = !o.auto_reply_yes;
            return true;
        case 'a':
            o.automatic = !o.automatic;
            return true;
        case 'b':
            o.text_mode = !o.text_mode;
            return true;
        case 'c':
            o.overwrite = false;
            return true;
        case 'i':
            o.case_sensitive = !o.case_sensitive;
            return true;
        case 'l':
            o.link_re = !o.link_re;
            return true;
        case 'm':
            o.replace_meta = !o.replace_meta;
            return true;
        case 'n':
            o.search_meta = !o.search_meta;
            return true;
        case 'o':
            o.overwrite = true;
            return true;
        case 'r':
            o.swap_pairs = !o.swap_pairs;
            return true;
        case 's':
            o.silent = !o.silent;
            set_fatal_signal_silent(o.silent);
            return true;
        case 'v':
            o.verbose = !o.verbose;
            return true;
        case 'z':
            o.out_term = '\0';
            return true;
        default:
            return false;
    }
}

/// Handles the letters of one option group, from left to right.
void process_options(run_state& rs, char* letters) {
    for (char* p = letters; *p != '\0'; ++p) {
        if (switch_setting(rs.opts, *p)) continue;
        switch (*p) {
            case 'e':
                // The rest of the argument is the search; the next argument its replacement.
                set_pending_search(rs, xstrdup(p + 1), std::strlen(p + 1) + 1);
                return;
            case 'd':
                if (p[1] != '\0') set_template_var(rs, static_cast<unsigned char>(p[1]), p + 2);
                return;
            case 'f':
                read_pattern_source(rs, p + 1);
                return;
            case 'g':
                show_grammar(rs);
                end_after_screen(rs);
            case 'h':
                if (p[1] == 'h') {
                    show_version(rs);
                } else {
                    show_help(rs);
                }
                end_after_screen(rs);
            case 'p':
                parse_pattern_arg(rs, p + 1);
                return;
            case 't': {
                std::size_t size = 0;
                char* search = expand_template(rs, p + 1, size);
                set_pending_search(rs, search, size);
                return;
            }
            default:
                if (!rs.opts.silent) {
                    std::fprintf(stderr, "Warning: invalid flag -%c (use -h for help)\n", *p);
                }
                break;
        }
    }
}

}  // namespace

int exit_status(std::int64_t error_sum) {
    // 125 is the largest status that xargs and the shells read as a plain failure: 126 and 127
    // mean "cannot run" and "not found", 128 + n a signal, and 255 makes xargs give up.
    return error_sum > EXIT_STATUS_CAP ? EXIT_STATUS_CAP : static_cast<int>(error_sum);
}

void process_arg(run_state& rs, char* arg) {
    if (rs.pending_search != nullptr) {
        // Whatever this argument looks like, it is the pending search's replacement.
        char* search = rs.pending_search;
        std::size_t size = rs.pending_size;
        rs.pending_search = nullptr;
        rs.pending_size = 0;
        register_pair(rs.patterns, rs.opts, search, arg);
        xfree(search, size);
        return;
    }
    if (arg[0] == '\0') return;
    if (rs.opts.options_on && arg[0] == '-') {
        if (arg[1] == '\0') {
            rs.count.error_sum += process_stdin(rs);
        } else {
            process_options(rs, arg + 1);
        }
        return;
    }
    if (arg[0] == '@') {
        process_arg_file(rs, arg);
        return;
    }
    rs.count.error_sum += process_file(rs, arg);
}

int run_main(int argc, char** argv) {
    umask(066);
    install_fatal_signal_handlers();
    // A file-size limit shows as a failed write that is reported, not as a silent kill.
    std::signal(SIGXFSZ, SIG_IGN);

    run_state rs;
    filtered_files filtered;
    rs.filtered = &filtered;
    set_fatal_signal_output(&rs.std_out);
    const char* durable = std::getenv("KESTROM_FSYNC");
    rs.fsync_writeback = durable != nullptr && std::strcmp(durable, "1") == 0;
    if (argc > 0 && argv[0] != nullptr) {
        const char* slash = std::strrchr(argv[0], '/');
        rs.progname = slash != nullptr ? slash + 1 : argv[0];
    }

    for (int i = 1; i < argc; ++i)
        process_arg(rs, argv[i]);

    counters& n = rs.count;
    if (n.files_processed == 0) {
        if (rs.stdin_used) return exit_status(n.error_sum);
        n.error_sum += process_stdin(rs);
    }
    if (rs.opts.verbose && n.files_processed != 0) {
        std::fprintf(stderr, "%lld file(s) processed, %lld errors\n",
                     static_cast<long long>(n.files_processed),
                     static_cast<long long>(n.error_sum));
        std::fprintf(stderr, "%lld occurrences found, %lld replaced\n",
                     static_cast<long long>(n.found_count),
                     static_cast<long long>(n.replaced_count));
    }
    rs.std_out.flush();
    set_fatal_signal_output(nullptr);
    return exit_status(n.error_sum);
}

}  // namespace kestrom
