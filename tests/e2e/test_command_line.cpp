// Command line and start-up: exit statuses, messages and the usage text.

#include <expat.h>
#include <filesystem>
#include <regex>

#include "e2e.h"

namespace {

class CommandLine : public ServerTest {};

const std::string USAGE = "Usage:\n"
                          "quilletserver version\n"
                          "quilletserver method method_arguments\n"
                          "where method is one of:\n"
                          "    pipe|- [-]\n"
                          "    file in_filename out_filename|-\n"
                          "    tcpip_listen port\n"
                          "    standalone [port]\n"
                          "    inetd\n";

TEST_F(CommandLine, RefusedArgumentsPrintMessageAndUsage)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, 1, "Invalid command line - missing command or method"},
        {{"pipe", "out.xml"}, 2, "Invalid output file"},
        {{"-", "-", "x"}, 3, "Too many arguments for pipe option"},
        {{"file"}, 4, "Missing input filespec"},
        {{"file", "in.xml"}, 5, "Missing output filespec"},
        {{"serve"}, 6, "unknown command or method - \"serve\""},
        {{"Pipe"}, 6, "unknown command or method - \"Pipe\""},
        {{"tcpip_listen", "8080x"}, 7, "invalid port \"8080x\" specified"},
        {{"tcpip_listen", "-1"}, 7, "invalid port \"-1\" specified"},
        {{"tcpip_listen", "65536"}, 7, "invalid port \"65536\" specified"},
        {{"standalone", "0x10000"}, 7, "invalid port \"0x10000\" specified"},
        {{"standalone", "99999999999999999999"}, 7,
         "invalid port \"99999999999999999999\" specified"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(run_server(c.args), (ProcResult{c.status, false, "", c.message + "\n" + USAGE}));
    }
}

TEST_F(CommandLine, VersionPrintsThreeLinesAndIgnoresFurtherArguments)
{
    const XML_Expat_Version ev = XML_ExpatVersionInfo();
    const std::regex head(
        "quilletserver version 1\\.1\\.0\n"
        "\tbuilt \\$Built: [A-Z][a-z]{2} [1-9]\\d? \\d{4} \\d\\d:\\d\\d:\\d\\d \\$\n"
        "\texpat version " + std::to_string(ev.major) + "\\." + std::to_string(ev.minor) + "\\." +
        std::to_string(ev.micro) + "\n");
    for (const auto &args : {std::vector<std::string>{"version"}, {"version", "pipe", "x"}}) {
        const ProcResult r = run_server(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(std::regex_search(r.out, head, std::regex_constants::match_continuous))
            << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// The configuration is read before the command line, so every method,
// version and a missing method included, stops on it. Which values are
// refused, and with which message, is for the unit tests.
TEST_F(CommandLine, MissingOrUnusableConfigurationStopsEveryMethod)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "qx_open_config_file: Failed to open " + CONFIG_XML +
                 " for read access - No such file or directory"},
        {"<Configuration>\n  <Port>1</Port>\n  <Logging>0</Loging>\n</Configuration>\n",
         "error on line 3 of " + CONFIG_XML + ", mismatched tag"},
        {config_doc("<Port>12ab</Port>"), "xml2config: invalid value 12ab for Port"},
    };
    const std::vector<std::string> methods[] = {
        {}, {"version"}, {"pipe"}, {"-"}, {"file", "in", "out"},
        {"inetd"}, {"inetd", "x"}, {"tcpip_listen", "1"}, {"standalone"},
    };
    for (const auto &[config, message] : cases) {
        if (config.empty())
            std::filesystem::remove(CONFIG_XML);
        else
            write_config(config);
        for (const auto &args : methods) {
            SCOPED_TRACE(message + (args.empty() ? " (no arguments)" : " " + args[0]));
            EXPECT_EQ(run_server(args, with_input("<Request/>")),
                      (ProcResult{1, false, "", message + "\n"}));
        }
    }
}

}  // namespace
