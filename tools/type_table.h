// The types the tool handles: one table row each, with its filter and the
// text forms that go with it.
#ifndef QUILLET_TOOL_TYPE_TABLE_H
#define QUILLET_TOOL_TYPE_TABLE_H

#include <string>

#include <quillet/quillet.h>

namespace tool {

// Every object the tool handles.
union Object {
    map_t map;
    arraymap_t arraymap;
    multimap_t multimap;
    struct in_addr in4;
    struct in6_addr in6;
    nu_macaddr_t mac;
    nu_ipaddr_t ip;
    nu_ipcidr_t cidr;
    struct rlimit rlim;
    rlim_t lim;
};

enum class Kind { map, arraymap, multimap, in4, in6, mac, ip, cidr, rlimit, limit };

struct Type {
    const char *name;
    const char *form; // the text form, for --help and types
    Kind kind;
    int (*filter)(axdr_stream_t *, void *);

    bool container() const { return kind == Kind::map || kind == Kind::arraymap ||
                                    kind == Kind::multimap; }
};

const Type *find_type(const char *name);
const Type *types_begin();
const Type *types_end();

// Containers: prepares an empty one; adds a pair (0, 1 for a repeated map_t
// key, -1 when memory ran out).
int container_init(const Type &t, Object *o);
int container_insert(const Type &t, Object *o, const char *key, const char *value);

// Walks a container's keys in order and each key's values in order.
class PairWalk {
public:
    PairWalk(const Type &t, const Object &o);
    const char *next_key();  // nullptr after the last
    const char *next_value(); // of the current key; nullptr after the last
    bool empty() const { return empty_; }

private:
    Kind kind_;
    const Object &o_;
    bool started_ = false, empty_ = true, first_value_ = true;
    const char *key_ = nullptr;
    map_cursor_t mc_{};
    arraymap_key_cursor_t akc_{};
    arraymap_value_cursor_t avc_{};
    multimap_key_cursor_t mkc_{};
    multimap_value_cursor_t mvc_{};
};

// Single-valued types: the value from its one line of text (false: *why
// says what was expected), and the line that gives it back.
bool scalar_parse(const Type &t, const std::string &text, Object *o, std::string *why);
bool scalar_text(const Type &t, const Object &o, std::string *out);

// A limit as text: decimal digits or "infinity".
bool parse_limit(const std::string &text, rlim_t *out);
std::string limit_text(rlim_t v);

} // namespace tool

#endif
