#include "pattern/char_set.hpp"

namespace kestrom {

namespace {

enum class item_op { PLUS, MINUS, BANG };

void combine(char_set& result, char_set& item, item_op op) {
    switch (op) {
        case item_op::PLUS:
            set_union(result, item);
            break;
        case item_op::MINUS:
            set_subtract(result, item);
            break;
        case item_op::BANG:
            set_invert(item);
            set_union(result, item);
            break;
    }
}

}  // namespace

char_set& parse_set(char_set& result, const unsigned char* text, std::size_t length) {
    result = char_set{};
    char_set item;
    item_op op = item_op::PLUS;
    bool fresh = true;  // the current item has listed no byte yet, so '!' and '-' are operators
    bool range_pending = false;
    unsigned char low = 0;

    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        if (c == ',') {
            combine(result, item, op);
            item = char_set{};
            op = item_op::PLUS;
            fresh = true;
            range_pending = false;
            continue;
        }
        if (fresh && c == '!') {
            op = item_op::BANG;
            continue;
        }
        if (fresh && c == '-') {
            op = item_op::MINUS;
            continue;
        }
        // A '-' at the end or before ',' cannot be completed into a range: it is a plain byte.
        if (c == '-' && i + 1 < length && text[i + 1] != ',') {
            range_pending = true;
            continue;
        }
        std::size_t at = i;
        if (c == '\\' && i + 1 < length) at = ++i;
        const unsigned char x = text[at];
        if (!range_pending) {
            set_add(x, item);
            low = x;
        } else {
            // The range runs on from the last single byte, which is already listed; a reversed
            // range adds nothing more.
            for (unsigned b = low + 1u; b <= x; ++b)
                set_add(static_cast<unsigned char>(b), item);
            range_pending = false;
        }
        fresh = false;
    }
    combine(result, item, op);
    return result;
}

}  // namespace kestrom
