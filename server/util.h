// util.h - the diagnostic stack, text conversions, Base64, access-list
// validation, file names and events: the helpers every module shares.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string_view>

#include <sqltypes.h>

// ---------------------------------------------------------------- diagnostics

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
// Emits the entries where `flags` say (see DIAGSTK_*) and empties the stack.
// With DIAGSTK_TO_CLIENT, `arg` is the io_out_t that receives the error
// result document.
int diagstk_output(diagstk_t *d, unsigned long flags, void *arg);

// Owner for a process's stack: frees it with diagstk_free.
struct diagstk_deleter {
    void operator()(diagstk_t *d) const { diagstk_free(d); }
};
using diagstk_ptr = std::unique_ptr<diagstk_t, diagstk_deleter>;

// ---------------------------------------------------------- events and files

inline constexpr long EVENT_GENERIC = 0xC0020201L;        // "%s"
inline constexpr long EVENT_CLIENT_DENIED = 0x80020261L;  // "Client (%s) denied access - %s"
inline constexpr long EVENT_REPEATED = 0x80020291L;       // "Last message repeated %s times"

// Writes a numbered event. With a null `eventlog` (always on this platform)
// the event goes to standard error; repeats of one id are summarised.
void qx_report_event(void *eventlog, int type, long event_id, const char *str1,
                     const char *str2);

// Joins `dir` "/" `file` into `outbuf`; -1 with a message when it won't fit.
int qx_filespec(diagstk_t *diag, const char *dir, const char *file, char *outbuf,
                std::size_t outbuf_len);

// ------------------------------------------------------- character conversion

int qx_8bit2utf8(int src, unsigned char **dstpp);
std::size_t qx_8bits2utf8s(const unsigned char *inbuf, std::size_t inbuf_len,
                           unsigned char *outbuf, std::size_t outbuf_size);
std::size_t qx_8bits2chrrefs(const unsigned char *inbuf, std::size_t inbuf_len,
                             unsigned char *outbuf, std::size_t outbuf_size);
int qx_wides2asciis(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                    int outstr_size);
int qx_wides2utf8s(const SQLWCHAR *instr, int instr_len, unsigned char *outstr,
                   int outstr_size);
std::size_t qx_wides2chrrefs(const SQLWCHAR *instr, int instr_len,
                             unsigned char *outstr, std::size_t outstr_size);
// New wide strings, released with free(); null when memory is short.
// SQL_NTS as length converts the terminator too.
SQLWCHAR *qx_utf8s2wides(const unsigned char *instr, int instr_len);
SQLWCHAR *qx_ascii_to_wide(const unsigned char *instr, std::size_t instr_len);

int qx_base64encode_len(int len);
int qx_base64encode(char *encoded, const char *string, int len);
int qx_base64encode_binary(char *encoded, const unsigned char *string, int len);

// ------------------------------------------------------------ access lists

typedef struct ip_acl_s {
    int ip[4];
    int net[4];
    int allow;
    struct ip_acl_s *next;
} ip_acl_t;

int qx_create_ip_acl(diagstk_t *diag, char *acl, void **acl_ll);
int qx_free_ip_acl(diagstk_t *diag, void **acl_ll);
int qx_check_access_control(diagstk_t *diag, char *client_ip, void *ip_acl);
int convert_string_to_quadint(diagstk_t *diag, char *str, int *quad);
int qx_check_netip_mask(diagstk_t *diag, char *ipstr, int flag, char **first_error_chr);
int qx_check_ip_address(diagstk_t *diag, const char *ipstr, int flag,
                        const char **first_error_chr);
// Flags: 1 leading, 2 trailing blanks; 4 work on a heap copy (caller frees).
char *qx_strip_spaces(diagstk_t *diag, char *str, unsigned long flags);

// Owner for malloc'ed C strings handed out by the helpers above.
struct free_deleter {
    void operator()(void *p) const;
};
template <class T>
using c_ptr = std::unique_ptr<T, free_deleter>;
