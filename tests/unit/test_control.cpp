// One request on the control port, answered over a connected socket.

#include <sys/socket.h>

#include "cmdline.h"
#include "unit_support.h"

using namespace unit;

namespace {

const std::filesystem::path kConfig = std::filesystem::path(QUILLET_INSTALL_DIR) / "config.xml";

// Sends `doc` as a control client does (then stops sending); returns the
// handler's result and sets `answer` to what came back after the prolog.
int control(const std::string &doc, std::string &answer)
{
    diagstk_ptr d(diagstk_new());
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(write(sv[1], doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
    shutdown(sv[1], SHUT_WR);
    io_in_t in = socket_in(sv[0]);
    io_out_t out = socket_out(sv[0]);
    const int r = handle_control_request(d.get(), &in, &out, nullptr);
    EXPECT_EQ(out.dst.listen.sock, -1);  // the connection is closed
    EXPECT_EQ(d->entries, 0u);
    answer = body_of(read_all(sv[1]));
    close(sv[1]);
    return r;
}

std::string error_result(const std::string &text)
{
    return "<Result State=\"HY000\">\n    <Diagnostic Number=\"1\">\n        <Text>" + text +
           "</Text>\n    </Diagnostic>\n</Result>\n";
}

}  // namespace

TEST(ControlRequest, AnswersByDocumentKind)
{
    const std::string config = "<Configuration>\n    <Port>8895</Port>\n",
                      applied = "<Result Status=\"00000\">\n</Result>\n";
    const struct { const char *doc; int result; std::string answer; } cases[] = {
        {"<Request><Configuration/></Request>", 0, config},  // the answer's start
        {"<request><Statistics/><CONFIGURATION/></request>", 0, config},
        {"<Configuration><Port>9001</Port></Configuration>", 0, applied},
        {"<Configuration><Port>x</Port></Configuration>", 0,
         error_result("xml2config: invalid value x for Port")},
        {"<Request><Other/></Request>", 0,
         error_result("handle_control_request: Request not recognised")},
        {"<Request><Other></Request>", -1,
         error_result("error on line 1 of input request, mismatched tag")},
    };
    std::filesystem::create_directories(kConfig.parent_path());
    for (const auto &c : cases) {
        reset_config();
        ini_port = 8895;
        std::ofstream(kConfig) << "before";

        std::string answer;
        EXPECT_EQ(control(c.doc, answer), c.result) << c.doc;
        EXPECT_EQ(c.answer == config ? answer.substr(0, config.size()) : answer, c.answer) << c.doc;
        const bool changed = c.answer == applied;
        EXPECT_EQ(ini_port, changed ? 9001u : 8895u) << c.doc;
        EXPECT_EQ(quillet_configuration_change, changed ? 1 : 0) << c.doc;
        EXPECT_EQ(slurp(kConfig).find("<Port>9001</Port>") != std::string::npos, changed);
    }
    std::filesystem::remove(kConfig);
}
