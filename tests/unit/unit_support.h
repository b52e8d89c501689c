// unit_support.h - helpers the unit tests share: channels over memory,
// streams and sockets, a scratch directory, and resets of process-wide state.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "config.h"
#include "iodef.h"
#include "log.h"
#include "util.h"

namespace unit {

using Msgs = std::vector<std::string>;

// An output channel whose bytes can be read back as a string.
struct MemOut {
    MemOut() : fp(open_memstream(&buf, &len))
    {
        out.method = XML_OUTPUT_METHOD_FILE;
        out.dst.file.fp = fp;
    }
    ~MemOut() { std::fclose(fp), std::free(buf); }
    MemOut(const MemOut &) = delete;
    std::string text() { return std::fflush(fp), std::string(buf, len); }

    char *buf = nullptr;
    std::size_t len = 0;
    FILE *fp;
    io_out_t out{};
};

inline io_in_t file_in(FILE *fp)
{
    io_in_t in{};
    in.method = XML_INPUT_METHOD_FILE;
    in.src.file.fp = fp;
    return in;
}

// The two channels of an accepted connection on socket `fd`.
inline io_in_t socket_in(int fd)
{
    io_in_t in{};
    in.method = XML_INPUT_METHOD_LISTEN;
    in.src.listen.listen_sock = -1;
    in.src.listen.sock = fd;
    return in;
}
inline io_out_t socket_out(int fd)
{
    io_out_t out{};
    out.method = XML_OUTPUT_METHOD_LISTEN;
    out.dst.listen.sock = fd;
    return out;
}

// Everything `fd` delivers until the end of input.
inline std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, std::size_t(n));
    return s;
}

// A document after the prolog and the envelope comment.
inline std::string body_of(const std::string &doc) { return doc.substr(doc.find("-->\r\n") + 5); }

// A fresh directory under the test temp dir, removed with its contents.
struct ScratchDir {
    ScratchDir() : path(testing::TempDir() + "quillet_unit_XXXXXX") { mkdtemp(path.data()); }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::string path;
};

inline std::string slurp(const std::string &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// The texts on the stack, oldest first.
inline Msgs messages(const diagstk_t *d)
{
    Msgs texts;
    for (unsigned i = 0; i < d->entries; i++) texts.emplace_back(d->items[i].text);
    return texts;
}

// The settings as a freshly started process has them, tracing off.
inline void reset_config()
{
    qx_init_config();
    ini_port = ini_control_port = ini_max_concurrent = ini_max_client = ini_flags = 0;
    quilletlog = 0;
    quillet_configuration_change = 0;
}

// Leaves the repeat suppression of qx_report_event with no repeats pending
// and a last id no test reports: whatever came before, the second of two
// different ids resets the count.
inline void reset_events()
{
    testing::internal::CaptureStderr();
    qx_report_event(nullptr, 2, 0x7001, "reset", nullptr);
    qx_report_event(nullptr, 2, 0x7002, "reset", nullptr);
    testing::internal::GetCapturedStderr();
}

}  // namespace unit
