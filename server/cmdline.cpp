// cmdline.cpp - the command line: method word, arguments, usage text and
// the version output.

#include "cmdline.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
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
    qx_print_version();
    diagstk_free(diag);
    std::exit(0);
}

constexpr std::string_view USAGE =
    "Usage:\n"
    "quilletserver version\n"
    "quilletserver method method_arguments\n"
    "where method is one of:\n"
    "    pipe|- [-]\n"
    "    file in_filename out_filename|-\n"
    "    tcpip_listen port\n"
    "    standalone [port]\n"
    "    inetd\n";

constexpr std::string_view OPTIONS =
    "Options, before the method:\n"
    "    -c, --config FILE   read and save FILE instead of the installation's config.xml\n"
    "    --check-config      check the configuration file, print \"configuration OK\"\n"
    "                        or the error, and exit (0 or 1) without serving\n"
    "    -V, --version       print the version lines and exit\n"
    "    -h, --help          print this text and exit\n"
    "SIGHUP makes the standalone server read its configuration file again.\n";

// The value of an option that takes one: "--config=FILE" carries it, else
// it is the next argument. Null when there is none.
const char *option_value(int argc, char **argv, int *i, std::string_view arg)
{
    if (const auto eq = arg.find('='); eq != arg.npos) return argv[*i] + eq + 1;
    if (*i + 1 >= argc) return nullptr;
    return argv[++*i];
}

}  // namespace

int qx_parse_options(int argc, char **argv, cmdline_options_t *opts, diagstk_t *diag)
{
    int i = 1;
    for (; i < argc; i++) {
        const std::string_view arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') break;  // "-" is the pipe method
        if (arg == "--") {
            i++;
            break;
        }
        const std::string_view name = arg.substr(0, arg.find('='));
        if (arg == "-h" || arg == "--help") {
            opts->help = true;
        } else if (arg == "-V" || arg == "--version") {
            opts->version = true;
        } else if (arg == "--check-config") {
            opts->check_config = true;
        } else if (arg == "-c" || name == "--config") {
            opts->config = option_value(argc, argv, &i, arg == "-c" ? "-c" : arg);
            if (opts->config == nullptr) {
                diagstk_add(diag, 3, "Invalid command line - option %.*s needs a file name",
                            static_cast<int>(name.size()), name.data());
                return 1;
            }
        } else {
            diagstk_add(diag, 3, "Invalid command line - unknown option \"%s\"", argv[i]);
            return 1;
        }
    }
    opts->method_index = i;
    return 0;
}

void qx_help(void)
{
    std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
    std::fwrite(OPTIONS.data(), 1, OPTIONS.size(), stdout);
    std::fflush(stdout);
}

void qx_print_version(void)
{
    const XML_Expat_Version ev = XML_ExpatVersionInfo();
    char config[1024];
    if (qx_config_file_path(nullptr, config, sizeof config) < 0)
        std::snprintf(config, sizeof config, "%s/%s", QUILLET_INSTALL_DIR, QX_CONFIG_FILE);
    std::printf("quilletserver version %s\n", QX_VERSION);
    std::printf("\tbuilt %s\n", qx_get_built_date());
    std::printf("\texpat version %d.%d.%d\n", ev.major, ev.minor, ev.micro);
    std::printf("\n"
                "Answers XML requests against any ODBC data source, over a pipe, a file,\n"
                "one TCP connection, inetd, or as a standalone daemon.\n"
                "Configuration: %s\n",
                config);
    std::fflush(stdout);
}

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
    std::fwrite(USAGE.data(), 1, USAGE.size(), stderr);
}
