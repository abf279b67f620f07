#include "json_out.h"

#include <cstdint>

namespace tool {
namespace {

// Length of the well-formed UTF-8 sequence at p (0: none starts there).
size_t utf8_length(const unsigned char *p)
{
    unsigned char c = p[0];
    auto cont = [](unsigned char b) { return b >= 0x80 && b <= 0xbf; };
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        return cont(p[1]) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        // No overlong forms (e0 a0..), no surrogates (ed 80..9f).
        unsigned char lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        // No overlong forms (f0 90..), nothing above U+10FFFF (f4 80..8f).
        unsigned char lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
    }
    return 0;
}

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
