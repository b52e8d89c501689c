// query_test.cpp - request documents and answer parts for the query tests.

#include "query_test.h"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>

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
    static const std::string comment_start = "<!--\r\n  Driver: ", comment_end = "\r\n-->\r\n";
    if (a.body.starts_with(comment_start)) {
        const std::size_t end = a.body.find(comment_end) + comment_end.size();
        a.comment = a.body.substr(0, end);
        a.body.erase(0, end);
    }
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
    std::string got;
    if (!send_all(peer_.get(), req)) return got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.find("</Result>\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{peer_.get(), POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = recv(peer_.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

ProcResult InetdSession::finish()
{
    peer_.reset();
    return child_->finish();
}
