// diag.h - the diagnostic stack: the one error channel. A function that
// fails pushes one message and returns a negative value; only the top of a
// call chain emits the stack (events, standard error, the trace stream). The
// error result document built from it is written by the XML writer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

inline constexpr unsigned DIAGSTK_MAX_ENTRIES = 20;
inline constexpr std::size_t DIAGSTK_TEXT_SIZE = 1024;  // message + NUL

// Output selection flags of diagstk_output.
inline constexpr unsigned long DIAGSTK_LEVEL_MASK = 0x0007;
inline constexpr unsigned long DIAGSTK_TO_EVENTLOG = 0x1000;
inline constexpr unsigned long DIAGSTK_TO_CLIENT = 0x2000;

// Registration types of diagstk_register_output.
inline constexpr int DIAGSTK_OUTPUT_EVENTLOG = 1;
inline constexpr int DIAGSTK_OUTPUT_FILE = 2;

typedef struct diagstk_entry_s {
    char *text;            // owned, NUL-terminated, at most 1023 characters
    unsigned long flags;   // the level given by the caller (2, 3 or 4)
} diagstk_entry_t;

typedef struct diagstk_output_s {
    void *eventlogh;  // event-log handle; null means standard error
    FILE *file;       // server trace stream as registered, not owned
} diagstk_output_t;

typedef struct diagstk_s {
    char id[4];  // "diag", no terminator
    diagstk_output_t out;
    unsigned int entries;
    diagstk_entry_t items[DIAGSTK_MAX_ENTRIES];
} diagstk_t;

typedef unsigned int diagstk_ctx_t;

// Allocates an empty stack; null when memory is short.
diagstk_t *diagstk_new(void);
// Frees every entry and the stack itself. Registered outputs stay open.
int diagstk_free(diagstk_t *d);
// Type 1 sets the event-log handle, type 2 the trace stream; others ignored.
int diagstk_register_output(diagstk_t *d, int type, void *output);
// Pushes one formatted message (cut to 1023 characters) with a level.
// Returns the new entry's index, or -1 null stack, -2 bad marker,
// -3 full, -4 null format, -5 out of memory.
[[gnu::format(printf, 3, 4)]] int diagstk_add(diagstk_t *d, unsigned long flags,
                                              const char *fmt, ...);
// Current depth (number of entries), or -1/-2.
int diagstk_context(diagstk_t *d);
// Cuts the stack back to the depth `context`.
int diagstk_remove(diagstk_t *d, diagstk_ctx_t context);
// Emits every entry present now where `flags` say and empties the stack: with
// DIAGSTK_TO_EVENTLOG as events, else on standard error, and always to the
// registered trace stream; a level in DIAGSTK_LEVEL_MASK selects entries of
// that level. The error result document for a client is written by
// qx_output_error_result (xml.h), which then emits here with
// DIAGSTK_TO_CLIENT to say that the client has the texts, so they do not go
// to standard error as well. `arg` is not used.
int diagstk_output(diagstk_t *d, unsigned long flags, void *arg);
// As diagstk_output, for the first `count` entries only; what was pushed
// after them (a failed send while the client was answered) is dropped too:
// the stack is empty after every emission.
int diagstk_emit(diagstk_t *d, unsigned long flags, unsigned count);

// Owner for a process's stack: frees it with diagstk_free.
struct diagstk_deleter {
    void operator()(diagstk_t *d) const { diagstk_free(d); }
};
using diagstk_ptr = std::unique_ptr<diagstk_t, diagstk_deleter>;

