#include "text_form.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tool {
namespace {

bool fail(TextError *e, unsigned line, std::string what)
{
    e->line = line;
    e->what = std::move(what);
    return false;
}

// Splits key=value at the first unescaped '=', undoing the escapes.
bool split_pair(std::string_view line, std::string *key, std::string *value, std::string *why)
{
    key->clear();
    value->clear();
    std::string *out = key;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '=' && out == key) {
            out = value;
            continue;
        }
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i == line.size()) {
            *why = "a backslash ends the line";
            return false;
        }
        switch (line[i]) {
        case '\\': out->push_back('\\'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case '=': out->push_back('='); break;
        case '#': out->push_back('#'); break;
        case 'x': {
            const char *digits = line.data() + i + 1;
            const size_t n = std::min<size_t>(2, line.size() - i - 1);
            unsigned byte = 0;
            if (n < 2 || std::from_chars(digits, digits + 2, byte, 16).ptr != digits + 2) {
                *why = "\\x takes two hex digits";
                return false;
            }
            if (byte == 0) {
                *why = "\\x00: a NUL byte cannot be held";
                return false;
            }
            out->push_back(static_cast<char>(byte));
            i += 2;
            break;
        }
        default: {
            // The escape as written; a byte that would not show is named.
            const unsigned char e = static_cast<unsigned char>(line[i]);
            if (e > 0x20 && e < 0x7f)
                *why = std::string("unknown escape \"\\") + line[i] + '"';
            else
                *why = "unknown escape: a backslash before " + quote(line.substr(i, 1));
            return false;
        }
        }
    }
    if (out == key) {
        *why = "expected key=value, found " + quote(line);
        return false;
    }
    return true;
}

void append_escaped(std::string *out, const char *s, bool key)
{
    for (size_t i = 0; s[i]; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
        case '\\': *out += "\\\\"; continue;
        case '\n': *out += "\\n"; continue;
        case '\r': *out += "\\r"; continue;
        case '\t': *out += "\\t"; continue;
        case '=':
            if (key) {
                *out += "\\=";
                continue;
            }
            break;
        case '#':
            if (key && i == 0) {
                *out += "\\#";
                continue;
            }
            break;
        default:
            // Text that is not UTF-8 is shown byte by byte, so that the
            // output is UTF-8 whatever the value holds.
            const auto *u = reinterpret_cast<const unsigned char *>(s + i);
            if (size_t n = c < 0x80 ? 0 : utf8_length(u)) {
                out->append(s + i, n);
                i += n - 1;
                continue;
            }
            if (c < 0x20 || c >= 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02x", c);
                *out += esc;
                continue;
            }
        }
        out->push_back(static_cast<char>(c));
    }
}

} // namespace

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

std::string quote(std::string_view s)
{
    std::string out = "\"";
    size_t n = 0;
    for (unsigned char c : s) {
        if (++n > 60) {
            out += "...";
            break;
        }
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

TextBuilder::TextBuilder(const Type &t, Object *o) : t_(t), o_(o)
{
    ok_ = !t.container() || container_init(t, o) == 0;
}

bool TextBuilder::line(std::string_view text, TextError *e)
{
    ++no_;
    if (std::memchr(text.data(), '\0', text.size()))
        return fail(e, no_, "NUL byte in the text");
    if (text.empty() || text[0] == '#')
        return true;
    if (!t_.container()) {
        if (single_no_)
            return fail(e, no_, "more than one value (the first is on line " +
                                    std::to_string(single_no_) + ")");
        single_.assign(text);
        single_no_ = no_;
        return true;
    }
    std::string why;
    if (!split_pair(text, &key_, &value_, &why))
        return fail(e, no_, why);
    int r = container_insert(t_, o_, key_.c_str(), value_.c_str());
    if (r > 0)
        return fail(e, no_, "key " + quote(key_) + " repeated");
    if (r < 0)
        return fail(e, no_, "cannot insert key " + quote(key_));
    return true;
}

bool TextBuilder::feed(const char *p, size_t n, TextError *e)
{
    const char *end = p + n;
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', end - p));
        if (!nl) {
            partial_.append(p, end);
            return true;
        }
        bool good;
        if (partial_.empty()) {
            good = line(std::string_view(p, nl - p), e);
        } else {
            partial_.append(p, nl);
            good = line(partial_, e);
            partial_.clear();
        }
        if (!good)
            return false;
        p = nl + 1;
    }
    return true;
}

bool TextBuilder::finish(TextError *e)
{
    if (!partial_.empty() && !line(partial_, e))
        return false;
    if (t_.container())
        return true;
    if (!single_no_)
        return fail(e, no_ + 1, std::string("found end of input, expected ") + t_.form);
    std::string why;
    if (!scalar_parse(t_, single_, o_, &why))
        return fail(e, single_no_, why);
    return true;
}

bool write_text(const Type &t, const Object &o, FILE *out)
{
    std::string line;
    if (!t.container()) {
        if (!scalar_text(t, o, &line))
            return false;
        line += '\n';
        return std::fwrite(line.data(), 1, line.size(), out) == line.size();
    }
    PairWalk w(t, o);
    while (const char *key = w.next_key()) {
        std::string k;
        append_escaped(&k, key, true);
        while (const char *value = w.next_value()) {
            line = k;
            line += '=';
            append_escaped(&line, value, false);
            line += '\n';
            if (std::fwrite(line.data(), 1, line.size(), out) != line.size())
                return false;
        }
    }
    return true;
}

} // namespace tool
