// The options before the method word: which are read, where the method
// starts, and the messages of refused ones.

#include "cmdline.h"
#include "unit_support.h"

TEST(Options, ReadBeforeTheMethod)
{
    const struct {
        std::vector<std::string> args;
        bool help, version, check;
        std::string config;
        int method_index;
    } cases[] = {
        {{}, false, false, false, "", 1},
        {{"pipe"}, false, false, false, "", 1},
        {{"-"}, false, false, false, "", 1},  // the pipe method, not an option
        {{"-h"}, true, false, false, "", 2},
        {{"--help", "standalone", "9000"}, true, false, false, "", 2},
        {{"-V"}, false, true, false, "", 2},
        {{"--version", "-c", "x.xml"}, false, true, false, "x.xml", 4},
        {{"-c", "/etc/q.xml", "standalone"}, false, false, false, "/etc/q.xml", 3},
        {{"--config", "q.xml", "--check-config"}, false, false, true, "q.xml", 4},
        {{"--config=a=b.xml", "pipe"}, false, false, false, "a=b.xml", 2},
        {{"-c", "one.xml", "-c", "two.xml", "-"}, false, false, false, "two.xml", 5},
        // "--" ends the options: what follows is the method, even "-h".
        {{"--", "-h"}, false, false, false, "", 2},
        // Options after the method belong to the method.
        {{"pipe", "-h"}, false, false, false, "", 1},
    };
    for (const auto &c : cases) {
        std::vector<std::string> words{"quilletserver"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(::testing::PrintToString(words));
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        cmdline_options_t opts;
        diagstk_ptr d(diagstk_new());
        ASSERT_EQ(qx_parse_options(static_cast<int>(words.size()), argv.data(), &opts, d.get()), 0);
        EXPECT_EQ(opts.help, c.help);
        EXPECT_EQ(opts.version, c.version);
        EXPECT_EQ(opts.check_config, c.check);
        EXPECT_EQ(opts.config ? opts.config : "", c.config);
        EXPECT_EQ(opts.method_index, c.method_index);
        EXPECT_EQ(messages(d.get()), Msgs{});
    }
}

TEST(Options, RefusedWithOneMessage)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "Invalid command line - unknown option \"--bogus\""},
        {{"-c"}, "Invalid command line - option -c needs a file name"},
        {{"--version", "--config"}, "Invalid command line - option --config needs a file name"},
        {{"--help=x"}, "Invalid command line - unknown option \"--help=x\""},
        {{"-cfile"}, "Invalid command line - unknown option \"-cfile\""},
    };
    for (const auto &[args, message] : cases) {
        SCOPED_TRACE(message);
        std::vector<std::string> words{"quilletserver"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        cmdline_options_t opts;
        diagstk_ptr d(diagstk_new());
        EXPECT_EQ(qx_parse_options(static_cast<int>(words.size()), argv.data(), &opts, d.get()), 1);
        EXPECT_EQ(messages(d.get()), Msgs{message});
    }
}
