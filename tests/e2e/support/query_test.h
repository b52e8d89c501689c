// query_test.h - request documents for the query tests and the parts of
// the answers they check.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "databases.h"
#include "server_test.h"
#include "socket.h"

// `text` with &, < and > as entity references, fit for element content.
std::string xml_text(std::string_view text);

// A request: ConnectionString `conn`, then the elements `rest`.
std::string request(std::string_view conn, std::string_view rest);
// A request for the SQL text `sql` (plain text, escaped here), followed by
// the elements `more` (a Format, for instance).
std::string sql_request(std::string_view conn, std::string_view sql, std::string_view more = "");

// The ODBC error result after its prolog, for one diagnostic record.
std::string odbc_error_body(std::string_view state, long native, std::string_view escaped_text);

// An empty result: what a statement without a result set answers.
inline constexpr const char *EMPTY_RESULT = "<Result State=\"00000\">\n</Result>\n";

struct Answer {
    int status = -1;
    std::string comment;  // the driver-information comment; empty in an error result
    std::string body;     // everything after the prolog and the comment
};

// The server in inetd mode on one end of a socket pair.
class InetdSession {
public:
    InetdSession();
    // Sends `req` and reads the answer, up to the end of its first Result.
    std::string exchange(const std::string &req);
    // Closes the connection and waits for the server to end.
    ProcResult finish();

private:
    Fd peer_;
    std::unique_ptr<Child> child_;
};

class QueryTest : public ServerTest {
protected:
    // Answers `req` through `pipe`. A time-out, a missing prolog or any
    // standard error output (a sanitizer report, for one) fails the test.
    Answer ask(const std::string &req, ProcOptions opts = {});
};
