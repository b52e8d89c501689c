// cmdline.cpp - the command line: method word, arguments, usage text and
// the version output.

#include "cmdline.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <expat.h>

#include "config.h"
#include "log.h"

pid_t parent_pid = 0;

namespace {

constexpr unsigned long MAX_TCP_PORT = 65535;

// Sets the standard-stream channels of the pipe method.
void set_pipe(cmdline_info_t *cmd, io_in_t *input, io_out_t *output)
{
    cmd->method = STARTUP_FILEIO;
    input->method = XML_INPUT_METHOD_STDIN;
    input->src.file.fp = stdin;
    output->method = XML_OUTPUT_METHOD_STDOUT;
    output->dst.file.fp = stdout;
}

// The port of tcpip_listen and standalone: the one argument, or the Port
// setting. A port that TCP cannot carry is refused like any other bad port.
int parse_port(int argc, char **argv, io_in_t *input, diagstk_t *diag)
{
    if (argc == 3) {
        const char *arg = argv[2];
        char *end = nullptr;
        errno = 0;
        const unsigned long port = std::strtoul(arg, &end, 0);
        if (*end != '\0' || port == ULONG_MAX || port > MAX_TCP_PORT) {
            diagstk_add(diag, 3, "invalid port \"%s\" specified", arg);
            return 7;
        }
        input->src.listen.port = static_cast<std::uint32_t>(port);
        return 0;
    }
    unsigned long port = 0;
    if (qx_get_config(diag, "Port", nullptr, 0, nullptr, &port) < 0) return -1;
    input->src.listen.port = static_cast<std::uint32_t>(port);
    return 0;
}

void set_listen(io_in_t *input, io_out_t *output)
{
    input->method = XML_INPUT_METHOD_LISTEN;
    input->src.listen.listen_sock = -1;
    input->src.listen.sock = -1;
    output->method = XML_OUTPUT_METHOD_LISTEN;
    output->dst.listen.listen_sock = -1;
    output->dst.listen.sock = -1;
}

// Never returns, so it also frees main's stack: nothing is left allocated at exit.
[[noreturn]] void print_version(diagstk_t *diag)
{
    const XML_Expat_Version ev = XML_ExpatVersionInfo();
    std::printf("quilletserver version %s\n", QX_VERSION);
    std::printf("\tbuilt %s\n", qx_get_built_date());
    std::printf("\texpat version %d.%d.%d\n", ev.major, ev.minor, ev.micro);
    std::printf("\n"
                "Answers XML requests against any ODBC data source, over a pipe, a file,\n"
                "one TCP connection, inetd, or as a standalone daemon.\n"
                "Configuration: %s/%s\n",
                QUILLET_INSTALL_DIR, QX_CONFIG_FILE);
    std::fflush(stdout);
    diagstk_free(diag);
    std::exit(0);
}

}  // namespace

int qx_parse_cmdline(int argc, char **argv, cmdline_info_t *cmd, io_in_t *input,
                     io_out_t *output, diagstk_t *diag)
{
    if (argc < 2) {
        diagstk_add(diag, 3, "Invalid command line - missing command or method");
        return 1;
    }
    const std::string_view word = argv[1];
    if (word == "pipe" || word == "-") {
        set_pipe(cmd, input, output);
        if (argc == 3 && std::strcmp(argv[2], "-") != 0) {
            diagstk_add(diag, 3, "Invalid output file");
            return 2;
        }
        if (argc > 3) {
            diagstk_add(diag, 3, "Too many arguments for pipe option");
            return 3;
        }
        return 0;
    }
    if (word == "file") {
        cmd->method = STARTUP_FILEIO;
        input->method = XML_INPUT_METHOD_FILE;
        if (argc < 3) {
            diagstk_add(diag, 3, "Missing input filespec");
            return 4;
        }
        if (argc < 4) {
            diagstk_add(diag, 3, "Missing output filespec");
            return 5;
        }
        input->src.file.filespec = strdup(argv[2]);
        if (std::strcmp(argv[3], "-") == 0) {
            output->method = XML_OUTPUT_METHOD_STDOUT;
            output->dst.file.fp = stdout;
        } else {
            output->method = XML_OUTPUT_METHOD_FILE;
            output->dst.file.filespec = strdup(argv[3]);
        }
        return 0;
    }
    if (word == "inetd") {
        cmd->method = STARTUP_INETD;
        set_listen(input, output);
        input->src.listen.sock = STDIN_FILENO;
        input->src.listen.type = argc > 2 ? TYPE_CONTROL_PORT : TYPE_SQL_PORT;
        output->dst.listen.sock = STDOUT_FILENO;
        return 0;
    }
    if (word == "tcpip_listen" || word == "standalone") {
        cmd->method = word == "standalone" ? STARTUP_STANDALONE : STARTUP_LISTEN;
        set_listen(input, output);
        // The address comes from the settings whether or not the port is
        // given here.
        if (qx_get_config(diag, "ListenAddress", input->src.listen.address,
                          sizeof input->src.listen.address, nullptr, nullptr) < 0)
            return -1;
        return parse_port(argc, argv, input, diag);
    }
    if (word == "version") print_version(diag);
    diagstk_add(diag, 3, "unknown command or method - \"%s\"", argv[1]);
    return 6;
}

void qx_usage(void)
{
    std::fputs("Usage:\n"
               "quilletserver version\n"
               "quilletserver method method_arguments\n"
               "where method is one of:\n"
               "    pipe|- [-]\n"
               "    file in_filename out_filename|-\n"
               "    tcpip_listen port\n"
               "    standalone [port]\n"
               "    inetd\n",
               stderr);
}
