// event.cpp - numbered events on standard error, with repeats summarised.

#include "event.h"

#include <cstdio>
#include <ctime>

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

