#include "json_out.h"

#include <cstdint>

#include "text_form.h"

namespace tool {
namespace {

bool put(const std::string &s, FILE *out)
{
    return std::fwrite(s.data(), 1, s.size(), out) == s.size();
}

void append_limit(std::string *out, rlim_t v)
{
    if (v == RLIM_INFINITY)
        *out += "\"infinity\"";
    else
        *out += limit_text(v);
}

} // namespace

void append_json_string(std::string *out, const char *s)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    *out += '"';
    while (*p) {
        unsigned char c = *p;
        char esc[8];
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c < 0x20) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            *out += esc;
        } else if (size_t n = utf8_length(p)) {
            // The NUL ending s stops every check above before it is passed.
            out->append(reinterpret_cast<const char *>(p), n);
            p += n;
            continue;
        } else {
            std::snprintf(esc, sizeof esc, "\\udc%02x", c);
            *out += esc;
        }
        ++p;
    }
    *out += '"';
}

bool write_json(const Type &t, const Object &o, FILE *out)
{
    std::string text;
    switch (t.kind) {
    case Kind::limit:
        append_limit(&text, o.lim);
        break;
    case Kind::rlimit:
        text = "{\"rlim_cur\": ";
        append_limit(&text, o.rlim.rlim_cur);
        text += ", \"rlim_max\": ";
        append_limit(&text, o.rlim.rlim_max);
        text += "}";
        break;
    case Kind::map:
    case Kind::arraymap:
    case Kind::multimap: {
        PairWalk w(t, o);
        if (w.empty())
            return put("{}\n", out);
        // One key per line; the values of a multi-valued key in one array.
        const char *sep = "{\n  ";
        while (const char *key = w.next_key()) {
            text = sep;
            sep = ",\n  ";
            append_json_string(&text, key);
            text += ": ";
            if (t.kind != Kind::map)
                text += '[';
            const char *vsep = "";
            while (const char *value = w.next_value()) {
                text += vsep;
                vsep = ", ";
                append_json_string(&text, value);
            }
            if (t.kind != Kind::map)
                text += ']';
            if (!put(text, out))
                return false;
        }
        return put("\n}\n", out);
    }
    default: {
        std::string addr;
        if (!scalar_text(t, o, &addr))
            return false;
        append_json_string(&text, addr.c_str());
    }
    }
    text += '\n';
    return put(text, out);
}

} // namespace tool
