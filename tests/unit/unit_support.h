// unit_support.h - helpers the unit tests share: channels over memory and
// sockets, and the diagnostic texts as a list.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iodef.h"
#include "log.h"
#include "util.h"

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

// The input channel of an accepted connection on socket `fd`.
inline io_in_t socket_in(int fd)
{
    io_in_t in{};
    in.method = XML_INPUT_METHOD_LISTEN;
    in.src.listen.listen_sock = -1;
    in.src.listen.sock = fd;
    return in;
}

// The texts on the stack, oldest first.
inline Msgs messages(const diagstk_t *d)
{
    Msgs texts;
    for (unsigned i = 0; i < d->entries; i++) texts.emplace_back(d->items[i].text);
    return texts;
}

