// diag.cpp - the diagnostic stack: push, cut back, emit.

#include "diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "event.h"
#include "log.h"

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

int diagstk_output(diagstk_t *d, unsigned long flags, void *)
{
    if (int r = diag_check(d); r < 0) return r;
    return diagstk_emit(d, flags, d->entries);
}

int diagstk_emit(diagstk_t *d, unsigned long flags, unsigned count)
{
    if (int r = diag_check(d); r < 0) return r;
    if (count > d->entries) count = d->entries;
    // The outlets may push onto this very stack while we emit; only the
    // first `count` entries are emitted.
    bool delivered = (flags & DIAGSTK_TO_CLIENT) != 0;
    for (unsigned i = 0; i < count; i++) {
        const diagstk_entry_t &e = d->items[i];
        if ((flags & DIAGSTK_LEVEL_MASK) != 0 && (e.flags & flags) == 0) continue;
        if (flags & DIAGSTK_TO_EVENTLOG) {
            qx_report_event(d->out.eventlogh, 1, EVENT_GENERIC, e.text, nullptr);
            delivered = true;
        }
        if (!delivered) qx_write_event(event_level::error, e.text);
        if (d->out.file != nullptr) {
            std::fputs("DIAG: ", d->out.file);
            std::fputs(e.text, d->out.file);
            std::fputc('\n', d->out.file);
        }
    }
    // The stack is empty afterwards: what an outlet pushed meanwhile (a
    // failed send to a client that has gone) belongs to this emission and
    // must not surface in a later, unrelated answer.
    return diagstk_remove(d, 0);
}
