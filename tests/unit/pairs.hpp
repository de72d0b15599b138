// Pattern pairs registered as the command line registers them, for the tests of the compiler and
// the matchers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pattern/register.hpp"
#include "run_state.hpp"

namespace kestrom::test {

// How a pair is registered; the last pair's mode stays in force for the pass (KEEP: found texts
// are counted and left as they are).
enum mode { PLAIN, LINK, FOLD, LITERAL, SWAP, KEEP };

struct pattern_pair {
    std::string search;  // as typed
    std::string_view repl;
    mode how = PLAIN;
};

/// Registers the pairs in order, as the command line does.
inline void compile_all(run_state& rs, const std::vector<pattern_pair>& pairs) {
    rs.opts.replace_meta = false;
    for (pattern_pair p : pairs) {
        rs.opts.link_re = p.how == LINK;
        rs.opts.case_sensitive = p.how != FOLD;
        rs.opts.search_meta = p.how != LITERAL;
        rs.opts.swap_pairs = p.how == SWAP;
        rs.opts.auto_reply_yes = p.how != KEEP;
        std::string repl(p.repl);
        register_pair(rs.patterns, rs.opts, p.search.data(), repl.data());
    }
}

inline std::string describe(const std::vector<pattern_pair>& pairs) {
    std::string text;
    for (const pattern_pair& p : pairs)
        text += p.search + " (" + std::to_string(p.how) + ") ";
    return text;
}

/// Registers each search with the replacement "-", folded when fold is set.
inline void register_searches(run_state& rs, const std::vector<std::string>& searches,
                              bool fold = false) {
    rs.opts.case_sensitive = !fold;
    for (std::string search : searches) {
        std::string repl = "-";
        register_pair(rs.patterns, rs.opts, search.data(), repl.data());
    }
}

}  // namespace kestrom::test
