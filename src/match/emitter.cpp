#include "match/emitter.hpp"

#include <cstdint>

#include "util/ascii.hpp"

namespace kestrom {

namespace {

using byte = unsigned char;

// Bytes that may mean more than themselves, and exactly the bytes a backslash protects; all
// others are copied in runs.
constexpr bool is_operator_byte(byte c) {
    return c == '&' || c == '?' || c == '*' || c == '@' || c == '\\';
}

// A decimal number read like strtol in base 10 (C-locale white space, an optional sign, digits,
// no digits meaning 0), limited to 0..limit. The digits saturate instead of wrapping, so a
// number of any size is limited exactly as its true value would be. Stops at the NUL.
std::size_t read_limited(const byte* s, std::size_t limit) {
    while (ascii_isspace(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    std::size_t magnitude = 0;
    for (; ascii_isdigit(*s); ++s) {
        const auto digit = static_cast<std::size_t>(*s - '0');
        magnitude = magnitude > (SIZE_MAX - digit) / 10 ? SIZE_MAX : magnitude * 10 + digit;
    }
    if (negative) return 0;
    return magnitude < limit ? magnitude : limit;
}

// Finds the first ')' at or after a position, remembering the last answer: positions only grow
// during one replacement, so the answer stays valid while it lies at or after the new position,
// and a text full of unclosed operators is still scanned only once.
class close_finder {
  public:
    close_finder(const byte* text, std::size_t len) : text_(text), len_(len) {}

    /// Index of the first ')' in from..len-1, or len when there is none.
    std::size_t find(std::size_t from) {
        if (!known_ || at_ < from) {
            at_ = from;
            while (at_ < len_ && text_[at_] != ')')
                ++at_;
            known_ = true;
        }
        return at_;
    }

  private:
    const byte* text_;
    std::size_t len_;
    std::size_t at_ = 0;
    bool known_ = false;
};

bool write_mapped(byte mode, const byte* from, std::size_t count, byte_writer& out) {
    if (count == 0) return true;
    if (mode == 'i') return out.write(from, count);
    for (std::size_t k = 0; k < count; ++k) {
        const byte c = mode == 'u' ? ascii_toupper(from[k]) : ascii_tolower(from[k]);
        if (!out.put(c)) return false;
    }
    return true;
}

/// What one replacement is made of: its text, the found text, and where it goes.
struct emit_view {
    const byte* text;
    std::size_t text_len;
    const byte* found;
    std::size_t found_len;
    close_finder& closes;
    byte_writer& out;
};

// The substring operator "@m(start,len)" at text[at]. Returns the index after its ')', or 0
// when no well-formed operator begins there; ok is cleared when a write failed.
std::size_t emit_substring(const emit_view& v, std::size_t at, bool& ok) {
    const byte* const text = v.text;
    const std::size_t text_len = v.text_len;
    const std::size_t found_len = v.found_len;
    if (text_len < 4 || at >= text_len - 3 || text[at + 2] != '(') return 0;
    const byte mode = text[at + 1];
    if (mode != 'i' && mode != 'u' && mode != 'l') return 0;
    const std::size_t close = v.closes.find(at + 3);
    if (close == text_len) return 0;

    // The numbers and the ',' come from the text as a C string: a NUL inside the parentheses
    // ends it. The ')' stops both, so nothing here reads past close.
    const byte* args = text + at + 3;
    const std::size_t start = read_limited(args, found_len);
    std::size_t end = found_len;
    for (const byte* s = args; s < text + close && *s != '\0'; ++s) {
        if (*s == ',') {
            end = start + read_limited(s + 1, found_len - start);
            break;
        }
    }
    ok = write_mapped(mode, v.found + start, end - start, v.out);
    return close + 1;
}

}  // namespace

int emit_replacement(run_state& rs, const unsigned char* found, std::size_t found_len,
                     const char* text, std::size_t text_len, byte_writer& out) {
    ++rs.count.replaced_count;
    if (text_len == 0) return 0;
    if (!rs.opts.replace_meta) return out.write(text, text_len) ? 0 : 1;

    const auto* t = reinterpret_cast<const byte*>(text);
    close_finder closes(t, text_len);
    const emit_view view{t, text_len, found, found_len, closes, out};
    std::size_t i = 0;
    while (i < text_len) {
        const byte c = t[i];
        if (!is_operator_byte(c)) {
            std::size_t run_end = i + 1;
            while (run_end < text_len && !is_operator_byte(t[run_end]))
                ++run_end;
            if (!out.write(t + i, run_end - i)) return 1;
            i = run_end;
            continue;
        }
        bool ok = true;
        switch (c) {
            case '&':
                if (found_len > 0) ok = out.write(found, found_len);
                ++i;
                break;
            // '?' and '*' take the found text at the operator's own index in the replacement.
            case '?':
                ok = out.put(i < found_len ? found[i] : c);
                ++i;
                break;
            case '*':
                ok = i < found_len ? out.write(found + i, found_len - i) : out.put(c);
                ++i;
                break;
            case '@':
                if (std::size_t next = emit_substring(view, i, ok)) {
                    i = next;
                } else {
                    ok = out.put(c);
                    ++i;
                }
                break;
            default:  // backslash
                if (i + 1 < text_len && is_operator_byte(t[i + 1])) {
                    ok = out.put(t[i + 1]);
                    i += 2;
                } else {
                    ok = out.put(c);
                    ++i;
                }
                break;
        }
        if (!ok) return 1;
    }
    return 0;
}

int emit_record(run_state& rs, const unsigned char* found, std::size_t found_len, replacement& repl,
                byte_writer& out) {
    if (repl.operators == 0) {
        repl.operators = 1;
        for (std::size_t i = 0; i < repl.length; ++i) {
            if (is_operator_byte(static_cast<byte>(repl.text[i]))) repl.operators = 2;
        }
    }
    if (repl.operators == 2) {
        return emit_replacement(rs, found, found_len, repl.text, repl.length, out);
    }
    ++rs.count.replaced_count;
    return out.write(repl.text, repl.length) ? 0 : 1;
}

}  // namespace kestrom
