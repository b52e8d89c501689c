// util.cpp - the diagnostic stack, numbered events and file names.

#include "util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "iodef.h"
#include "log.h"
#include "xml.h"

void free_deleter::operator()(void *p) const { std::free(p); }

// ---------------------------------------------------------------- diagnostics

namespace {

constexpr char DIAG_ID[4] = {'d', 'i', 'a', 'g'};

// -1 for a null stack, -2 for a wrong marker, else 0.
int diag_check(const diagstk_t *d)
{
    if (d == nullptr) return -1;
    if (std::memcmp(d->id, DIAG_ID, sizeof DIAG_ID) != 0) return -2;
    return 0;
}

void write_client_entry(io_out_t *out, diagstk_t *d, unsigned number, const char *text)
{
    io_writef(out, d, "    <Diagnostic Number=\"%u\">\n", number);
    io_write(out, d, "        <Text>", 0);
    qx_write_escaped(out, d, text);
    io_write(out, d, "</Text>\n    </Diagnostic>\n", 0);
}

}  // namespace

diagstk_t *diagstk_new(void)
{
    auto *d = static_cast<diagstk_t *>(std::calloc(1, sizeof(diagstk_t)));
    if (d == nullptr) return nullptr;
    std::memcpy(d->id, DIAG_ID, sizeof DIAG_ID);
    d->entries = 0;
    return d;
}

int diagstk_free(diagstk_t *d)
{
    if (int r = diag_check(d); r < 0) return r;
    diagstk_remove(d, 0);
    d->out.eventlogh = nullptr;
    d->out.file = nullptr;
    std::memset(d->id, 0, sizeof d->id);
    std::free(d);
    return 0;
}

int diagstk_register_output(diagstk_t *d, int type, void *output)
{
    if (type == DIAGSTK_OUTPUT_EVENTLOG)
        d->out.eventlogh = output;
    else if (type == DIAGSTK_OUTPUT_FILE)
        d->out.file = static_cast<FILE *>(output);
    return 0;
}

int diagstk_add(diagstk_t *d, unsigned long flags, const char *fmt, ...)
{
    if (int r = diag_check(d); r < 0) return r;
    if (d->entries >= DIAGSTK_MAX_ENTRIES) return -3;
    if (fmt == nullptr) return -4;

    char buf[DIAGSTK_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);

    if (qx_tracing(QX_LOG_DIAG)) qx_log("%s\n", buf);
    char *copy = strdup(buf);
    if (copy == nullptr) return -5;
    d->items[d->entries].text = copy;
    d->items[d->entries].flags = flags;
    d->entries++;
    return static_cast<int>(d->entries - 1);
}

int diagstk_context(diagstk_t *d)
{
    if (int r = diag_check(d); r < 0) return r;
    return static_cast<int>(d->entries);
}

int diagstk_remove(diagstk_t *d, diagstk_ctx_t context)
{
    if (int r = diag_check(d); r < 0) return r;
    if (context > DIAGSTK_MAX_ENTRIES || context > d->entries) return -3;
    for (unsigned i = d->entries; i-- > context;) {
        d->items[i].text[0] = '\0';
        std::free(d->items[i].text);
        d->items[i].text = nullptr;
        d->items[i].flags = 0;
    }
    d->entries = context;
    return 0;
}

int diagstk_output(diagstk_t *d, unsigned long flags, void *arg)
{
    if (int r = diag_check(d); r < 0) return r;
    auto *out = static_cast<io_out_t *>(arg);
    const bool to_client = (flags & DIAGSTK_TO_CLIENT) != 0;
    if (to_client) {
        if (out == nullptr) return -3;
        output_xml_prolog(out, nullptr, nullptr, d);
        io_writef(out, d, "<Result State=\"HY000\">\n");
    }

    // The channel functions may push onto this very stack while we write;
    // only the entries present now are emitted.
    const unsigned count = d->entries;
    bool delivered = false;
    for (unsigned i = 0; i < count; i++) {
        const diagstk_entry_t &e = d->items[i];
        if ((flags & DIAGSTK_LEVEL_MASK) != 0 && (e.flags & flags) == 0) continue;
        if (flags & DIAGSTK_TO_EVENTLOG) {
            qx_report_event(d->out.eventlogh, 1, EVENT_GENERIC, e.text, nullptr);
            delivered = true;
        }
        if (to_client) {
            write_client_entry(out, d, i + 1, e.text);
            delivered = true;
        }
        if (!delivered) std::fprintf(stderr, "%s\n", e.text);
        if (d->out.file != nullptr) {
            std::fputs("DIAG: ", d->out.file);
            std::fputs(e.text, d->out.file);
            std::fputc('\n', d->out.file);
        }
    }

    if (to_client) {
        io_write(out, d, "</Result>\n", 0);
        output_xml_epilog(out, d);
        io_flush(out, d);  // the end of an answer
    }
    // The emitted entries go; what the channel pushed while we wrote (a
    // failed send, say) stays behind as the start of a fresh stack.
    for (unsigned i = 0; i < count; i++) std::free(d->items[i].text);
    const unsigned later = d->entries - count;
    std::memmove(d->items, d->items + count, later * sizeof d->items[0]);
    for (unsigned i = later; i < d->entries; i++) d->items[i] = diagstk_entry_t{};
    d->entries = later;
    return 0;
}

// ------------------------------------------------------------------- events

namespace {

struct msgmap_row {
    long eventid;
    const char *format;
};

constexpr msgmap_row msgmap[] = {
    {0xC0020082L, "Failed to create socket - %s"},
    {0xC0020071L, "Failed to bind to port - %s"},
    {0xC0020081L, "Failed to listen on port - %s"},
    {0xC0020161L, "Insufficient virtual memory allocating %s bytes for %s"},
    {0x40020145L, "Thread %s exited"},
    {0xC0020031L, "Failed to create process - %s"},
    {0xC0020241L, "Exception in Brindle thread handling ODBC connection - %s"},
    {0xC0020191L, "Failed to create thread - %s"},
    {0x80020281L, "Client refused access - %s"},
    {0x80020261L, "Client (%s) denied access - %s"},
    {0x80020271L, "Client (%s) denied access to DSN '%s' due to access control rule"},
    {0x80020291L, "Last message repeated %s times"},
    {0x80020301L, "%s File Error (%s)"},
    {0xC0020201L, "%s"},
    {0xC0020221L, "Failed to start HTTP Server - %s"},
    {0x80020311L, "%s"},
    {0x80020321L, "Invalid authorisation from %s"},
    {0, nullptr},
};

long last_id = 0;
unsigned repeats = 0;
time_t time_of_last_msg = 0;

constexpr unsigned REPEAT_LIMIT = 49;
constexpr double REPEAT_WINDOW_SECONDS = 300;

// Substitutes up to two "%s" of a table format. The formats hold nothing but
// "%s", so this avoids handing a run-time format string to printf.
void write_event_line(const char *format, const char *str1, const char *str2)
{
    const char *args[2] = {str1 ? str1 : "(null)", str2 ? str2 : "(null)"};
    int next = 0;
    for (const char *p = format; *p; p++) {
        if (p[0] == '%' && p[1] == 's' && next < 2) {
            std::fputs(args[next++], stderr);
            p++;
        } else {
            std::fputc(*p, stderr);
        }
    }
    std::fputc('\n', stderr);
}

void report_repeats(void *eventlog)
{
    char num[16];
    std::snprintf(num, sizeof num, "%u", repeats);
    repeats = 0;
    qx_report_event(eventlog, 2, EVENT_REPEATED, num, nullptr);
}

}  // namespace

void qx_report_event(void *eventlog, int type, long event_id, const char *str1,
                     const char *str2)
{
    (void)type;  // carried for an event log; standard error has no types
    const time_t now = std::time(nullptr);
    if (event_id == last_id) {
        repeats++;
        if (repeats <= REPEAT_LIMIT &&
            std::difftime(now, time_of_last_msg) <= REPEAT_WINDOW_SECONDS)
            return;
        report_repeats(eventlog);
        last_id = 0;
        return;
    }
    if (event_id != EVENT_REPEATED) {
        if (repeats != 0) report_repeats(eventlog);
        if (event_id != EVENT_GENERIC) last_id = event_id;
        repeats = 0;
    }
    time_of_last_msg = now;

    if (eventlog != nullptr) return;
    for (const msgmap_row *row = msgmap; row->eventid != 0; row++) {
        if (row->eventid == event_id) {
            write_event_line(row->format, str1, str2);
            return;
        }
    }
    write_event_line(str1 ? str1 : "", str2, nullptr);
}

// -------------------------------------------------------------- file names

int qx_filespec(diagstk_t *diag, const char *dir, const char *file, char *outbuf,
                std::size_t outbuf_len)
{
    const std::size_t need = std::strlen(dir) + 1 + std::strlen(file) + 1;
    if (need > outbuf_len) {
        diagstk_add(diag, 3, "%s: buffer (%d) too small for filespec (%d)", "qx_filespec",
                    static_cast<int>(outbuf_len), static_cast<int>(need));
        return -1;
    }
    std::snprintf(outbuf, outbuf_len, "%s/%s", dir, file);
    return 0;
}
