// The text printer behind x_print_element and x_print_value.
//
// Aggregates nest: an aggregate whose first element arrives while an
// element is waiting for its value becomes that value. The print context
// word remembers the level its aggregate opened at, so the next element of
// an outer aggregate closes inner ones that send no closing call (the
// address arrays). A context word that does not name a live level (a fresh
// local after a pending status) means the innermost level.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace axdr {
namespace {

constexpr uint32_t max_depth = 255;

bool emit(Stream *st, const char *p, size_t n)
{
    Printer &pr = st->pr;
    if (pr.file) {
        if (n && std::fwrite(p, 1, n, pr.file) != n)
            pr.failed = true;
    } else if ((pr.text.len + n + 1 > pr.text.cap && !may_allocate(st)) ||
               !pr.text.append(p, n)) {
        pr.failed = true;
    }
    return !pr.failed;
}

bool emit(Stream *st, const char *s) { return emit(st, s, std::strlen(s)); }

bool newline_indent(Stream *st, uint32_t depth)
{
    static const char spaces[] = "                                ";
    bool ok = !st->pr.line_open || emit(st, "\n", 1);
    for (uint32_t n = 2 * depth; ok && n;) {
        uint32_t k = n < 32 ? n : 32;
        ok = emit(st, spaces, k);
        n -= k;
    }
    st->pr.line_open = true;
    return ok;
}

bool is_bare(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '[' || c == ']' || c == '-';
}

bool emit_quoted(Stream *st, const char *text)
{
    bool ok = emit(st, "\"", 1);
    const char *run = text;
    for (const char *p = text; ok && *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c <= 0x7e && c != '"' && c != '\\')
            continue;
        ok = emit(st, run, static_cast<size_t>(p - run));
        run = p + 1;
        char esc[5];
        switch (c) {
        case '"': std::memcpy(esc, "\\\"", 3); break;
        case '\\': std::memcpy(esc, "\\\\", 3); break;
        case '\n': std::memcpy(esc, "\\n", 3); break;
        case '\r': std::memcpy(esc, "\\r", 3); break;
        case '\t': std::memcpy(esc, "\\t", 3); break;
        default: std::snprintf(esc, sizeof esc, "\\x%02x", c); break;
        }
        ok = ok && emit(st, esc);
    }
    return ok && emit(st, run) && emit(st, "\"", 1);
}

bool emit_name(Stream *st, const char *name)
{
    bool bare = *name != '\0';
    for (const char *p = name; bare && *p; ++p)
        bare = is_bare(static_cast<unsigned char>(*p));
    return bare ? emit(st, name) : emit_quoted(st, name);
}

bool close_level(Stream *st)
{
    Printer &pr = st->pr;
    bool ok = newline_indent(st, pr.depth - 1) && emit(st, "}", 1);
    --pr.depth;
    if (pr.depth) {
        ++pr.levels[pr.depth].nvalues; // the aggregate was its element's value
    } else {
        ok = ok && emit(st, "\n", 1);
        pr.line_open = false;
    }
    return ok;
}

// The level a context word names, or 0 when it names none.
uint32_t level_of(const Printer &pr, const axdr_print_ctx_t *ctx)
{
    if (!ctx)
        return 0;
    uint32_t d = static_cast<uint32_t>(*ctx & 0xff);
    uint32_t serial = static_cast<uint32_t>(*ctx >> 8);
    if (d == 0 || d > pr.depth)
        return 0;
    uint32_t mask = sizeof(axdr_print_ctx_t) >= 8 ? 0xffffffffu : 0xffffffu;
    return (pr.levels[d].serial & mask) == serial ? d : 0;
}

bool open_level(Stream *st, axdr_print_ctx_t *ctx)
{
    Printer &pr = st->pr;
    // Aggregates left open that cannot take this one as a value are done.
    bool ok = true;
    while (ok && pr.depth && !(pr.levels[pr.depth].elem_open && pr.levels[pr.depth].nvalues == 0))
        ok = close_level(st);
    if (!ok || pr.depth >= max_depth)
        return false;
    if (pr.depth) {
        ok = emit(st, " {", 2);
    } else {
        if (pr.line_open)
            ok = emit(st, "\n", 1);
        ok = ok && emit(st, "{", 1);
        pr.line_open = true;
    }
    if (pr.depth + 1 >= pr.levels_cap) {
        const size_t ncap = grown(pr.levels_cap, 8, pr.depth + 2);
        if (!may_allocate(st))
            return false;
        void *p = std::realloc(pr.levels, ncap * sizeof(Level));
        if (!p)
            return false;
        pr.levels = static_cast<Level *>(p);
        pr.levels_cap = static_cast<uint32_t>(ncap);
    }
    ++pr.depth;
    pr.levels[pr.depth] = Level{++pr.serial, false, 0};
    if (ctx)
        *ctx = (axdr_print_ctx_t{pr.serial} << 8) | pr.depth;
    return ok;
}

int print_element(axdr_stream_t *s, const char *name, int is_first, axdr_print_ctx_t *ctx)
{
    Stream *st = impl(s);
    int r = fault_event(st, AXDR_FAULT_PRINT);
    if (st->tracing) {
        trace_line(st, "element %s %d = %s", name ? name : "(close)", is_first,
                   result_name(r));
    }
    if (r != AXDR_TRUE)
        return r;
    Printer &pr = st->pr;
    bool ok = true;
    if (!name && is_first) { // an aggregate with no element: "{" then "}"
        if (!open_level(st, ctx) || !close_level(st))
            return AXDR_FALSE;
        return AXDR_TRUE;
    }
    if (!name) {
        if (pr.depth == 0)
            return AXDR_FALSE; // nothing to close
        uint32_t d = level_of(pr, ctx);
        if (d == 0)
            d = pr.depth;
        while (ok && pr.depth >= d)
            ok = close_level(st);
        return ok ? AXDR_TRUE : AXDR_FALSE;
    }
    uint32_t d = is_first ? 0 : level_of(pr, ctx);
    if (!is_first && d == 0)
        d = pr.depth;
    if (d == 0) {
        ok = open_level(st, ctx);
        d = pr.depth;
    }
    while (ok && pr.depth > d)
        ok = close_level(st);
    ok = ok && newline_indent(st, pr.depth) && emit_name(st, name) && emit(st, " =", 2);
    if (!ok)
        return AXDR_FALSE; // no level may exist to mark (its allocation failed)
    pr.levels[pr.depth].elem_open = true;
    pr.levels[pr.depth].nvalues = 0;
    return AXDR_TRUE;
}

// Out of line: its three callers would each carry a copy.
[[gnu::noinline]] int print_value_raw(Stream *st, const char *text, bool quoted)
{
    Printer &pr = st->pr;
    bool ok;
    if (pr.depth && pr.levels[pr.depth].elem_open) {
        Level &lv = pr.levels[pr.depth];
        ok = emit(st, lv.nvalues ? ", " : " ", lv.nvalues ? 2 : 1);
        ++lv.nvalues;
    } else if (pr.depth) {
        ok = newline_indent(st, pr.depth); // a value with no element name
    } else {
        ok = !pr.line_open || emit(st, "\n", 1);
    }
    ok = ok && (quoted ? emit_quoted(st, text) : emit(st, text));
    if (ok && pr.depth == 0) {
        ok = emit(st, "\n", 1);
        pr.line_open = false;
    }
    return ok ? AXDR_TRUE : AXDR_FALSE;
}

int print_value(axdr_stream_t *s, const char *text)
{
    Stream *st = impl(s);
    int r = fault_event(st, AXDR_FAULT_PRINT);
    if (st->tracing)
        trace_line(st, "value \"%.200s\" = %s", text ? text : "(null)",
                   result_name(r));
    if (r != AXDR_TRUE)
        return r;
    if (!text)
        return AXDR_FALSE;
    return print_value_raw(st, text, true);
}

} // namespace

const axdr_ops print_ops = {print_element, print_value};

int print_number(Stream *st, const char *digits) { return print_value_raw(st, digits, false); }

int print_text(Stream *st, const char *text) { return print_value_raw(st, text, true); }

void printer_reset(Printer *p)
{
    p->text.clear();
    p->depth = 0;
    p->line_open = false;
    p->failed = false;
}

void printer_release(Printer *p)
{
    p->text.release();
    std::free(p->levels);
    p->levels = nullptr;
    p->levels_cap = 0;
    p->depth = 0;
}

} // namespace axdr

using namespace axdr;

extern "C" {

int axdr_print_finish(axdr_stream_t *s)
{
    Stream *st = impl(s);
    Printer &pr = st->pr;
    // Text lost earlier (no memory, a full file) fails the whole print.
    bool ok = !pr.failed;
    while (ok && pr.depth)
        ok = close_level(st);
    if (ok && pr.file && std::fflush(pr.file) != 0)
        ok = false;
    return ok ? 0 : -1;
}

const char *axdr_print_text(const axdr_stream_t *s, size_t *len)
{
    const Printer &pr = impl(s)->pr;
    if (len)
        *len = pr.text.len;
    return pr.text.data ? pr.text.data : "";
}

void axdr_print_clear(axdr_stream_t *s) { printer_reset(&impl(s)->pr); }

} // extern "C"
