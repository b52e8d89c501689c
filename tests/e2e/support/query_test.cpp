// query_test.cpp - request documents and answer parts for the query tests.

#include "query_test.h"


std::string xml_text(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string request(std::string_view conn, std::string_view rest)
{
    return "<Request><ConnectionString>" + xml_text(conn) + "</ConnectionString>" +
           std::string(rest) + "</Request>";
}

std::string sql_request(std::string_view conn, std::string_view sql, std::string_view more)
{
    return request(conn, "<Sql>" + xml_text(sql) + "</Sql>" + std::string(more));
}

std::string odbc_error_body(std::string_view state, long native, std::string_view escaped_text)
{
    const std::string s(state);
    return "<Result State=\"" + s + "\">\n<Diagnostic Number=\"1\">\n    <State>" + s +
           "</State>\n    <Native>" + std::to_string(native) + "</Native>\n    <Text>" +
           std::string(escaped_text) + "</Text>\n</Diagnostic>\n</Result>\n";
}

Answer QueryTest::ask(const std::string &req, ProcOptions opts)
{
    opts.input = req;
    const ProcResult r = run_server({"pipe"}, std::move(opts));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    Answer a;
    a.status = r.status;
    if (!split_prolog(r.out, &a.body)) {
        ADD_FAILURE() << "no prolog in the answer:\n" << r.out.substr(0, 2000);
        a.body = r.out;
        return a;
    }
    a.comment = strip_comment(&a.body);
    return a;
}

InetdSession::InetdSession()
{
    Fd theirs;
    make_socket_pair(peer_, theirs);
    ProcOptions opts;
    opts.socket = theirs.release();
    child_ = std::make_unique<Child>(server_argv({"inetd"}), opts);
}

std::string InetdSession::exchange(const std::string &req)
{
    return send_all(peer_.get(), req) ? read_document(peer_.get(), 20s) : "";
}

ProcResult InetdSession::finish()
{
    peer_.reset();
    return child_->finish();
}
