// Command line and start-up: exit statuses, messages and the usage text.

#include <filesystem>

#include "e2e.h"

namespace {

class CommandLine : public ServerTest {};

TEST_F(CommandLine, RefusedArgumentsPrintMessageAndUsage)
{
    const std::string usage = "Usage:\nquilletserver version\nquilletserver method "
                              "method_arguments\nwhere method is one of:\n    pipe|- [-]\n"
                              "    file in_filename out_filename|-\n    tcpip_listen port\n"
                              "    standalone [port]\n    inetd\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, 1, "Invalid command line - missing command or method"},
        {{"pipe", "out.xml"}, 2, "Invalid output file"},
        {{"file", "in.xml"}, 5, "Missing output filespec"},
        {{"Pipe"}, 6, "unknown command or method - \"Pipe\""},
        {{"standalone", "99999999999999999999"}, 7,
         "invalid port \"99999999999999999999\" specified"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(run_server(c.args), (ProcResult{c.status, false, "", c.message + "\n" + usage}));
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
        {config_doc("<Port>12ab</Port>"), "xml2config: invalid value 12ab for Port"},
        // A port TCP cannot carry is refused, not masked to another one.
        {config_doc("<Port>70000</Port>"),
         "xml2config: value \"70000\" for Port out of range (1 to 65535)"},
    };
    const std::vector<std::string> methods[] = {
        {}, {"version"}, {"pipe"}, {"file", "in", "out"}, {"inetd", "x"}, {"tcpip_listen", "1"},
        {"standalone"}};
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
