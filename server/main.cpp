// main.cpp - the process entry: prepare the process, read the options,
// read the configuration, parse the command line, run one start-up method.
// The order of the steps is the program's contract: the options come first
// (help and version need no configuration, -c names the file), then the
// configuration is read before the method is looked at, so a missing
// config.xml stops every method.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <unistd.h>

#include <sql.h>

#include "cmdline.h"
#include "config.h"
#include "event.h"
#include "iodef.h"
#include "log.h"
#include "startup.h"
#include "util.h"

namespace {

constexpr long EVENT_STARTUP_FAILED = EVENT_GENERIC;

// The drivers convert 8-bit text with the process's LC_CTYPE, and one of
// them re-reads it from the environment on every connect. Without UTF-8
// there, non-ASCII text is mangled or refused, so both the process and the
// environment get a UTF-8 LC_CTYPE. Numbers and times keep the "C" forms.
void ensure_utf8_ctype()
{
    const char *current = std::setlocale(LC_CTYPE, "");
    if (current != nullptr && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return;
    unsetenv("LC_ALL");  // it would override LC_CTYPE for the drivers
    setenv("LC_CTYPE", "C.UTF-8", 1);
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

void probe_driver_manager()
{
    SQLHANDLE henv = SQL_NULL_HANDLE;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv);
    SQLFreeHandle(SQL_HANDLE_ENV, henv);
}

[[noreturn]] void fail_startup(diagstk_t *diag)
{
    diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    diagstk_free(diag);
    qx_close_logs();
    std::exit(1);
}

// A refused option: its message and the usage text, like a refused method.
[[noreturn]] void refuse_command_line(diagstk_t *diag, int status)
{
    diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    diagstk_free(diag);
    qx_usage();
    qx_close_logs();
    std::exit(status);
}

// An option that only prints (help, version, a checked configuration).
[[noreturn]] void finish_early(diagstk_t *diag, void (*print)())
{
    print();
    std::fflush(stdout);
    diagstk_free(diag);
    qx_close_logs();
    std::exit(std::ferror(stdout) ? 1 : 0);
}

int dispatch(cmdline_info_t *cmd, io_in_t *input, io_out_t *output, diagstk_t *diag)
{
    int sts;
    switch (cmd->method) {
    case STARTUP_LISTEN:
        sts = startup_listen(cmd, input, output, diag);
        io_close_channels(input, output, diag);
        return sts;
    case STARTUP_STANDALONE:
        parent_pid = getpid();
        return startup_standalone(cmd, input, output, diag);
    case STARTUP_FILEIO:
        sts = startup_fileio(cmd, input, output, diag);
        io_close_channels(input, output, diag);
        return sts;
    case STARTUP_INETD:
        sts = startup_inetd(cmd, input, output, diag);
        io_close_channels(input, output, diag);
        return sts;
    default:
        diagstk_add(diag, 3, "%s: internal error - unknown method %d", "main",
                    static_cast<int>(cmd->method));
        return -1;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    io_register_file(nullptr, IO_REGISTER_INIT, nullptr, nullptr);
    io_in_t input{};
    io_out_t output{};
    cmdline_info_t cmd{};
    qx_init_config();
    early_logging_test();
    mtlog("Quillet Server, pid=%i, pgid=%d\n", static_cast<int>(getpid()),
          static_cast<int>(getpgrp()));
    mtlog("Allocating diagnostic stack\n");

    diagstk_t *diag = diagstk_new();
    if (diag == nullptr) {
        mtlog("Failed to allocate diagnostic stack\n");
        qx_report_event(eventlog, EVENT_TYPE_ERROR, EVENT_STARTUP_FAILED,
                        "Failed to allocate diagnostic stack", nullptr);
        return 1;
    }
    diagstk_register_output(diag, DIAGSTK_OUTPUT_EVENTLOG, eventlog);
    diagstk_register_output(diag, DIAGSTK_OUTPUT_FILE, log_fp);

    ensure_utf8_ctype();
    probe_driver_manager();

    mtlog("Parsing options\n");
    cmdline_options_t opts;
    if (qx_parse_options(argc, argv, &opts, diag) != 0) refuse_command_line(diag, 1);
    if (opts.config != nullptr && qx_set_config_file(diag, opts.config) < 0)
        refuse_command_line(diag, 1);
    if (opts.help) finish_early(diag, qx_help);
    if (opts.version) finish_early(diag, qx_print_version);

    mtlog("Using static configuration\n");
    if (qx_open_config_file(diag, &input, nullptr, 0) < 0 || qx_parse_config(diag, &input) < 0) {
        io_close_channels(&input, nullptr, nullptr);
        fail_startup(diag);
    }
    if (io_close_channels(&input, nullptr, diag) < 0)
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
    input = io_in_t{};
    if (opts.check_config) finish_early(diag, [] { std::puts("configuration OK"); });

    mtlog("Parsing command line\n");
    // The method word is the first argument after the options.
    const int skipped = opts.method_index - 1;
    int sts = qx_parse_cmdline(argc - skipped, argv + skipped, &cmd, &input, &output, diag);
    if (sts != 0) {
        diagstk_output(diag, DIAGSTK_TO_EVENTLOG, nullptr);
        diagstk_free(diag);
        qx_usage();
        qx_close_logs();
        return sts & 0xFF;
    }

    sts = dispatch(&cmd, &input, &output, diag);
    if (sts != 0) {
        diagstk_output(diag, 0, nullptr);
        sts = 1;
    }
    diagstk_free(diag);
    stop_event_logging(nullptr);
    qx_close_logs();
    std::fflush(stdout);
    return sts;
}
