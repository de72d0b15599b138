#include "cli/screens.hpp"

#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "term/term.hpp"

namespace kestrom {

namespace {

constexpr const char* BANNER = "%s, One Pass Kestrom Search&Replace, %s\n\n";

constexpr const char* VERSION_LINE = "%s, %s\n";

// No final newline: show_grammar adds one.
constexpr const char* GRAMMAR =
    "Grammar:\n"
    "pattern ::=<anychar><SearchRE><samechar><ReplaceStr><samechar>remark\n"
    "re      ::= <char><re> | *<re> | ?<re> | [set]<re> | (void)\n"
    "set     ::= <set_item> | <set_item>,<set> | (void)\n"
    "set_item::= <item> | -<item> | !<item> | (void)\n"
    "item    ::= <char><item> | <char>-<char>item | (void)\n"
    "\n"
    "Common special characters      searchonly            replaceonly\n"
    "#ddd    ascii code ddd(dec)    [charset]              & found string\n"
    "$hh     ascii code hh (hex)    ?  any char            ? leave char unchanged\n"
    "\\spec   skip spec char         *  any string          * leave tail unchanged\n"
    "\\...    C like char constant                          @{i,u,l}([start[,len]])";

// The -g line says stderr although the grammar goes to standard output: kept as users know it.
constexpr const char* HELP =
    "search RE patterns in input file(s) and replaces them with something else\n"
    "only one pass and works with binary files!\n"
    "\n"
    "Syntax: %s [option]...                         (can be grouped)\n"
    "  -h[h]      this help screen [header only]\n"
    "  -g         print Grammar to stderr\n"
    "  -v         switch verbose on/off, info  msg to stderr  (default=off)\n"
    "  -s         switch silent  on/off, error msg to stderr  (default=off)\n"
    "  -c|-o      output to stdout | overwrite source         (default=overwrite)\n"
    "  -i         toggle case sensitive search                (default=on)\n"
    "  -a         toggle automatic replace                    (default=on)\n"
    "  -N         toggle reply No in automatic mode           (default=off)\n"
    "  -r         toggle swap search/replace string           (default=off)\n"
    "  -n         toggle escape meta char in search  RE       (default=off)\n"
    "  -m         toggle escape meta char in replace RE       (default=off)\n"
    "  -l         link RE (use with caution)                  (default=off)\n"
    "  -b         toggle binary|textmode                      (default=binary)\n"
    "  -f[fname]  filename contains s&r patterns              (default=stdin)\n"
    "  -ppattern  insert pattern in the list of s&r patterns\n"
    "  -ess rs    insert search string ss in search list, replace with rs\n"
    "  -tss rs    insert search template ss in search list,  replace with rs\n"
    "  -dXstr     (re)define X=str for template substitution\n"
    "  -0         input lines are \\0 terminated\n"
    "  -z         output lines are \\0 terminated\n"
    "  --         no more options, next arguments are filenames\n"
    "  @[argfile] argfile contains valid options (stdin if argfile is missing)\n"
    "  file       to be processed (use '-' or nothing for stdin)\n";

/// Writes format with each "%s" replaced by the next of args.
void put_format(byte_writer& out, const char* format, std::initializer_list<const char*> args) {
    const char* const* arg = args.begin();
    for (const char* at = format;;) {
        const char* mark = std::strstr(at, "%s");
        if (mark == nullptr || arg == args.end()) {
            out.write(at, std::strlen(at));
            return;
        }
        out.write(at, static_cast<std::size_t>(mark - at));
        out.write(*arg, std::strlen(*arg));
        ++arg;
        at = mark + 2;
    }
}

/// Clears a terminal and prints the banner, in bold there.
void show_banner(run_state& rs) {
    const bool on_terminal = ::isatty(1) != 0;
    // Standard output and the sequences on stderr reach the terminal in the order written.
    if (on_terminal) {
        rs.std_out.flush();
        term_clear(rs.term);
        term_bold(rs.term);
    }
    put_format(rs.std_out, BANNER, {rs.progname, VERSION});
    if (on_terminal) {
        rs.std_out.flush();
        term_reset(rs.term);
    }
}

}  // namespace

void show_help(run_state& rs) {
    show_banner(rs);
    put_format(rs.std_out, HELP, {rs.progname});
}

void show_grammar(run_state& rs) {
    show_banner(rs);
    put_format(rs.std_out, GRAMMAR, {});
    rs.std_out.put('\n');
}

void show_version(run_state& rs) {
    put_format(rs.std_out, VERSION_LINE, {rs.progname, VERSION});
}

}  // namespace kestrom
