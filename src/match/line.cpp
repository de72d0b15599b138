#include "match/line.hpp"

#include <cstring>

#include "match/emitter.hpp"
#include "pattern/required_literal.hpp"
#include "util/alloc.hpp"
#include "util/ascii.hpp"
#include "util/byte_search.hpp"

namespace kestrom {

namespace {

/// Appends the input up to the next term to ds (the term is consumed, not stored). Returns
/// whether any byte was read; ended_by_term tells how the record ended.
bool read_until(dyn_str* ds, byte_reader& in, unsigned char term, bool& ended_by_term) {
    ds->size = 0;
    ds->data[0] = 0;
    ended_by_term = false;
    bool any = false;
    while (in.buffered_size() > 0 || in.fill()) {
        any = true;
        const unsigned char* p = in.buffered();
        const std::size_t n = in.buffered_size();
        const void* hit = std::memchr(p, term, n);
        const std::size_t len =
            hit == nullptr ? n
                           : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p);
        dyn_str_append(ds, p, len);
        if (hit != nullptr) {
            in.consume(len + 1);
            ended_by_term = true;
            break;
        }
        in.consume(len);
    }
    return any;
}

/// Drops the last byte of ds when it is b.
void drop_last(dyn_str* ds, unsigned char b) {
    if (ds->size > 0 && ds->data[ds->size - 1] == b) ds->data[--ds->size] = 0;
}

/// The replacement for an empty rest of the record after a byte was taken: that of a star ending
/// list. The empty pattern does not count here: it matches only an empty record.
replacement* star_end(trie_node* list) {
    if (list == nullptr) return nullptr;
    trie_node* last = list;
    while (last->next != nullptr)
        last = last->next;
    return last->code == CODE_ANYSTR ? last->repl : nullptr;
}

/// The replacement for an empty record: the empty pattern's, else that of a star ending the root
/// list.
replacement* match_end(trie_node* root) {
    for (trie_node* n = root; n != nullptr; n = n->next) {
        if (n->code == CODE_EMPTY) return n->repl;
    }
    return star_end(root);
}

std::size_t slot_of(const trie_node* list, std::size_t pos, std::size_t mask) {
    std::uint64_t h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(list)) >> 4;
    h = (h ^ (static_cast<std::uint64_t>(pos) * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
    return static_cast<std::size_t>(h ^ (h >> 31)) & mask;
}

}  // namespace

unsigned char* read_record(dyn_str* ds, byte_reader& in, unsigned char term) {
    return term == 0 ? read_nul_record(ds, in) : read_text_line(ds, in);
}

unsigned char* read_nul_record(dyn_str* ds, byte_reader& in) {
    bool ended_by_term;
    return read_until(ds, in, 0, ended_by_term) ? ds->data : nullptr;
}

unsigned char* read_text_line(dyn_str* ds, byte_reader& in) {
    bool ended_by_term;
    if (!read_until(ds, in, '\n', ended_by_term)) return nullptr;
    drop_last(ds, ended_by_term ? '\r' : 26);  // CR-LF line ends; a final Ctrl-Z marks the end
    return ds->data;
}

line_search::~line_search() {
    xfree(stack_, stack_capacity_ * sizeof(frame));
    xfree(seen_, seen_capacity_ * sizeof(tried));
    xfree(infos_, info_capacity_ * sizeof(list_info));
}

void line_search::push(const frame& f) {
    if (depth_ == stack_capacity_) {
        const std::size_t cap = stack_capacity_ == 0 ? 64 : stack_capacity_ * 2;
        stack_ = static_cast<frame*>(
            xrealloc(stack_, stack_capacity_ * sizeof(frame), cap * sizeof(frame)));
        stack_capacity_ = cap;
    }
    stack_[depth_++] = f;
}

std::size_t line_search::star_run_end(trie_node* list, const unsigned char* text, std::size_t from,
                                      std::size_t len, bool fold) {
    star_run& run = star_runs_[(reinterpret_cast<std::uintptr_t>(list) >> 5) % STAR_RUN_SLOTS];
    if (run.list != list || run.fold != fold) {
        run = {list, fold, 0, {}};
        for (trie_node* n = list; n != nullptr && n->code != CODE_ANYSTR; n = n->next) {
            if (n->code == CODE_ANYCHAR) {
                run.count = STAR_RUN_ANY;
                break;
            }
            if (n->code > 255) continue;  // an empty set or the empty pattern takes no byte
            const auto b = static_cast<unsigned char>(n->code);
            const bool twin = fold && b >= 'A' && b <= 'Z';  // folding lets the lower case in
            if (run.count + (twin ? 2u : 1u) > sizeof run.bytes) {
                run.count = STAR_RUN_ANY;
                break;
            }
            run.bytes[run.count++] = b;
            if (twin) run.bytes[run.count++] = static_cast<unsigned char>(b + 32);
        }
    }
    if (run.count == STAR_RUN_ANY) return from;
    if (run.count == 1) {
        const void* hit = std::memchr(text + from, run.bytes[0], len - from);
        return hit == nullptr
                   ? len
                   : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text);
    }
    for (std::size_t i = from; i < len; ++i) {
        for (unsigned k = 0; k < run.count; ++k) {
            if (text[i] == run.bytes[k]) return i;
        }
    }
    return len;
}

bool line_search::first_visit(trie_node* list, std::size_t pos) {
    if ((seen_count_ + 1) * 2 > seen_capacity_) grow_seen();
    const std::size_t mask = seen_capacity_ - 1;
    std::size_t h = slot_of(list, pos, mask);
    while (seen_[h].generation == generation_) {
        if (seen_[h].list == list && seen_[h].pos == pos) return false;
        h = (h + 1) & mask;
    }
    seen_[h] = {list, pos, generation_};
    ++seen_count_;
    return true;
}

void line_search::grow_seen() {
    const std::size_t cap = seen_capacity_ == 0 ? 4096 : seen_capacity_ * 2;
    auto* grown = static_cast<tried*>(xmalloc(cap * sizeof(tried)));
    for (std::size_t i = 0; i < cap; ++i)
        grown[i].generation = 0;  // generations start at 1: empty
    for (std::size_t i = 0; i < seen_capacity_; ++i) {
        if (seen_[i].generation != generation_) continue;
        std::size_t h = slot_of(seen_[i].list, seen_[i].pos, cap - 1);
        while (grown[h].generation == generation_)
            h = (h + 1) & (cap - 1);
        grown[h] = seen_[i];
    }
    xfree(seen_, seen_capacity_ * sizeof(tried));
    seen_ = grown;
    seen_capacity_ = cap;
}

line_search::list_info* line_search::info_of(trie_node* list, bool insert) {
    if (insert && (info_count_ + 1) * 2 > info_capacity_) {
        const std::size_t cap = info_capacity_ == 0 ? 256 : info_capacity_ * 2;
        auto* grown = static_cast<list_info*>(xmalloc(cap * sizeof(list_info)));
        for (std::size_t i = 0; i < cap; ++i)
            grown[i].list = nullptr;
        for (std::size_t i = 0; i < info_capacity_; ++i) {
            if (infos_[i].list == nullptr) continue;
            std::size_t h = slot_of(infos_[i].list, 0, cap - 1);
            while (grown[h].list != nullptr)
                h = (h + 1) & (cap - 1);
            grown[h] = infos_[i];
        }
        xfree(infos_, info_capacity_ * sizeof(list_info));
        infos_ = grown;
        info_capacity_ = cap;
    }
    if (info_capacity_ == 0) return nullptr;
    const std::size_t mask = info_capacity_ - 1;
    std::size_t h = slot_of(list, 0, mask);
    while (infos_[h].list != nullptr) {
        if (infos_[h].list == list) return &infos_[h];
        h = (h + 1) & mask;
    }
    if (!insert) return nullptr;
    trie_node* last = list;
    while (last->next != nullptr)
        last = last->next;
    infos_[h] = {list, nullptr, SIZE_MAX, 0, 0, last->code == CODE_ANYSTR, false};
    ++info_count_;
    return &infos_[h];
}

void line_search::survey(trie_node* root) {
    for (std::size_t i = 0; i < info_capacity_; ++i)
        infos_[i].list = nullptr;
    info_count_ = 0;
    cyclic_ = false;
    surveyed_root_ = root;
    // Depth first over the lists, with a stack of its own: a list and its next node to follow.
    struct step {
        trie_node* list;
        trie_node* node;
    };
    std::size_t capacity = 64, top = 0;
    auto* steps = static_cast<step*>(xmalloc(capacity * sizeof(step)));
    info_of(root, true)->walk = 1;
    steps[top++] = {root, root};
    while (top > 0) {
        step& s = steps[top - 1];
        trie_node* n = s.node;
        if (n == nullptr) {
            info_of(s.list, false)->walk = 2;
            --top;
            continue;
        }
        s.node = n->next;
        trie_node* child = n->child;
        if (child == nullptr || (n->code == CODE_ANYSTR && child == s.list)) continue;
        list_info* c = info_of(child, true);
        if (c->parent == nullptr) {
            c->parent = n;
        } else if (c->parent != n) {
            c->shared = true;
        }
        if (c->walk == 1) cyclic_ = true;
        if (c->walk != 0) continue;
        c->walk = 1;
        if (top == capacity) {
            steps = static_cast<step*>(
                xrealloc(steps, capacity * sizeof(step), 2 * capacity * sizeof(step)));
            capacity *= 2;
        }
        steps[top++] = {child, child};
    }
    xfree(steps, capacity * sizeof(step));
}

bool line_search::may_match(trie_node* list, std::size_t pos, std::size_t& stop) {
    stop = SIZE_MAX;
    list_info* info = cyclic_ ? nullptr : info_of(list, false);
    if (info == nullptr) return first_visit(list, pos);
    if (info->star_list) {
        // A star list that failed at some position fails at every later one too: its star
        // tried them all. So the lowest position looked up is all there is to remember.
        const std::size_t floor = info->floor_search == generation_ ? info->floor : SIZE_MAX;
        if (pos >= floor) return false;
        info->floor = pos;
        info->floor_search = generation_;
        stop = floor;
        return true;
    }
    // A list that only one node leads to is looked up at a position at most once when its
    // parent is; only lists that several nodes share need their lookups remembered.
    return info->shared ? first_visit(list, pos) : true;
}

replacement* line_search::find(trie_node* list, const unsigned char* text, std::size_t len,
                               bool fold) {
    if (len == 0) return match_end(list);
    if (list == nullptr) return nullptr;
    // An ordinary lookup ends within a few steps per byte. Past that budget, several stars are
    // dividing the record up in every possible way; from then on no list is looked up twice at
    // one position: a second lookup would fail again, since the first one is either finished
    // (and failed) or still an ancestor on the stack, which lies at an earlier position (lists
    // lead back to themselves only through their own star, unless the survey says otherwise).
    std::size_t budget = SIZE_MAX;
    if (len < budget_below_) {
        budget = steps_per_byte_ * len + steps_base_;
    }
    bool remember = false;
    depth_ = 0;
    push({list, nullptr, 0, SIZE_MAX});
    while (depth_ > 0) {
        if (!remember && (budget == 0 || --budget == 0)) {
            remember = true;
            ++generation_;
            seen_count_ = 0;
            if (surveyed_root_ != list) survey(list);
        }
        frame& f = stack_[depth_ - 1];
        const unsigned char key = fold ? ascii_toupper(text[f.pos]) : text[f.pos];
        trie_node* n = find_child(f.cand != nullptr ? f.cand->next : f.list, key);
        if (n == nullptr) {
            --depth_;  // every alternative of this lookup failed
            continue;
        }
        f.cand = n;
        if (n->code == CODE_ANYSTR && n->repl != nullptr) return n->repl;
        const std::size_t next = f.pos + 1;
        if (next == len) {
            if (n->repl != nullptr) return n->repl;
            if (replacement* r = star_end(n->child)) return r;
            continue;
        }
        trie_node* child = n->child;
        if (child == nullptr) continue;
        // A star leading back to its own list carries its list's stop along.
        const bool own_star = n->code == CODE_ANYSTR && child == f.list;
        std::size_t stop = own_star ? f.stop : SIZE_MAX;
        if (remember) {
            const bool known_to_fail = own_star
                                           ? (cyclic_ ? !first_visit(child, next) : next >= stop)
                                           : !may_match(child, next, stop);
            if (known_to_fail) continue;
        }
        // A star is the last alternative of its list (and '?' nearly so): when nothing is left
        // to try after n, its lookup takes this frame's place, so that a star running over a
        // long record does not deepen the stack.
        if (n->code >= CODE_ANYCHAR && find_child(n->next, key) == nullptr) {
            std::size_t at = next;
            if (own_star && !remember) {
                // Bytes that the list offers nothing but its star for are taken one by one
                // the same way; a star without a replacement that takes the last byte fails.
                at = star_run_end(child, text, next, len, fold);
                if (at == len) {
                    --depth_;
                    continue;
                }
            }
            f = {child, nullptr, at, stop};
        } else {
            push({child, nullptr, next, stop});
        }
    }
    return nullptr;
}

replacement* match_line(trie_node* list, const unsigned char* rest, bool fold,
                        line_search& scratch) {
    return scratch.find(list, rest, std::strlen(reinterpret_cast<const char*>(rest)), fold);
}

replacement* match_line(trie_node* list, const unsigned char* rest, bool fold) {
    line_search scratch;
    return match_line(list, rest, fold, scratch);
}

namespace {

/// Writes records to out as line mode turns them out, keeping the lookup's scratch memory from
/// record to record. With the fast route, a record without the trie's required literal is not
/// looked up, and runs of records without it are copied in bulk.
class record_writer {
  public:
    record_writer(run_state& rs, byte_writer& out, bool fast)
        : rs_(rs),
          out_(out),
          root_(rs.patterns.root),
          fold_(!rs.opts.case_sensitive),
          in_term_(rs.opts.in_term),
          out_term_(rs.opts.out_term),
          literal_(fast ? rs.patterns.required(fold_) : required_literal(nullptr, fold_)),
          finder_(literal_.bytes, literal_.length, fold_, rs.tier),
          filter_(literal_.length > 0),
          // Bulk copies keep the records' terminators, and pass over empty records unlooked.
          bulk_(filter_ && in_term_ == out_term_ && match_end(root_) == nullptr) {}

    bool changed() const { return changed_; }

    /// Writes what the record r[0..n) becomes, then the output terminator; false when a write
    /// failed.
    bool record(const unsigned char* r, std::size_t n) {
        // The lookup sees the record up to its first NUL; a match replaces all of it.
        const void* nul = std::memchr(r, 0, n);
        const std::size_t len =
            nul == nullptr ? n
                           : static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - r);
        replacement* found = nullptr;
        if (!filter_ || len == 0 || finder_.find(r, len) < len) {
            found = scratch_.find(root_, r, len, fold_);
        }
        bool ok;
        if (found != nullptr) {
            ++rs_.count.found_count;
            ok = emit_replacement(rs_, r, n, found->text, found->length, out_) == 0;
            changed_ = true;
        } else {
            ok = out_.write(r, n);
        }
        return ok && out_.put(out_term_);
    }

    /// Writes what the records of p[0..n) become; each ends in the input terminator, the last at
    /// p[n-1]. A line's carriage return before its line feed is dropped, as read_text_line does.
    bool records(const unsigned char* p, std::size_t n) {
        const unsigned char* const end = p + n;
        while (p < end) {
            if (bulk_) {
                // The records before the one where the literal first occurs cannot match.
                const std::size_t hit = finder_.find(p, static_cast<std::size_t>(end - p));
                const unsigned char* from = end;
                if (hit < static_cast<std::size_t>(end - p)) {
                    const void* t = ::memrchr(p, in_term_, hit);
                    from = t == nullptr ? p : static_cast<const unsigned char*>(t) + 1;
                }
                if (!copy(p, from)) return false;
                p = from;
                if (p == end) break;
            }
            const auto* t = static_cast<const unsigned char*>(
                std::memchr(p, in_term_, static_cast<std::size_t>(end - p)));
            std::size_t len = static_cast<std::size_t>(t - p);
            if (in_term_ == '\n' && len > 0 && p[len - 1] == '\r') --len;
            if (!record(p, len)) return false;
            p = t + 1;
        }
        return true;
    }

  private:
    /// Copies the whole records p[0..end) as they are, less the carriage returns of CR-LF ends.
    bool copy(const unsigned char* p, const unsigned char* end) {
        if (in_term_ == '\n') {
            const unsigned char* scan = p;
            while (const void* cr = std::memchr(scan, '\r', static_cast<std::size_t>(end - scan))) {
                const auto* c = static_cast<const unsigned char*>(cr);
                scan = c + 1;
                if (scan == end || *scan != '\n') continue;
                if (!out_.write(p, static_cast<std::size_t>(c - p))) return false;
                p = scan;
            }
        }
        return out_.write(p, static_cast<std::size_t>(end - p));
    }

    run_state& rs_;
    byte_writer& out_;
    trie_node* root_;
    bool fold_;
    unsigned char in_term_;
    unsigned char out_term_;
    required_literal literal_;
    pair_finder finder_;
    bool filter_;
    bool bulk_;
    bool changed_ = false;
    line_search scratch_;
};

}  // namespace

int line_replace(run_state& rs, byte_reader& in, byte_writer& out, bool fast) {
    const unsigned char term = rs.opts.in_term;
    record_writer records(rs, out, fast);
    dyn_str* ds = dyn_str_from(nullptr);
    bool ok = true;
    for (;;) {
        if (fast && (in.buffered_size() > 0 || in.fill())) {
            // The records that the buffer holds whole are taken from it in place.
            const unsigned char* p = in.buffered();
            const void* last = ::memrchr(p, term, in.buffered_size());
            if (last != nullptr) {
                const auto whole =
                    static_cast<std::size_t>(static_cast<const unsigned char*>(last) - p) + 1;
                ok = records.records(p, whole);
                in.consume(whole);
                if (!ok) break;
                continue;
            }
        }
        // A record that runs past the buffer is gathered in ds, however long.
        if (read_record(ds, in, term) == nullptr) break;
        if (!(ok = records.record(ds->data, ds->size))) break;
    }
    dyn_str_free(ds);
    if (!ok) return RESULT_WRITE_ERROR;
    const int result = records.changed() ? RESULT_CHANGED : RESULT_UNCHANGED;
    return out.flush() ? result : RESULT_WRITE_ERROR;
}

}  // namespace kestrom
