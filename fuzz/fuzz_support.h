// fuzz_support.h - what the fuzz targets share: channels over memory and a
// fresh diagnostic stack per input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "iodef.h"
#include "util.h"

namespace fuzz {

// A request channel reading `size` bytes from memory.
struct MemIn {
    MemIn(const std::uint8_t *data, std::size_t size)
        : fp(size ? fmemopen(const_cast<std::uint8_t *>(data), size, "r") : std::tmpfile())
    {
        in.method = XML_INPUT_METHOD_FILE;
        in.src.file.fp = fp;
    }
    ~MemIn() { std::fclose(fp); }
    FILE *fp;
    io_in_t in{};
};

// An answer channel collecting into memory; the bytes are only checked by
// the sanitizers.
struct MemOut {
    MemOut() : fp(open_memstream(&buf, &len))
    {
        out.method = XML_OUTPUT_METHOD_FILE;
        out.dst.file.fp = fp;
    }
    ~MemOut() { std::fclose(fp), std::free(buf); }
    char *buf = nullptr;
    std::size_t len = 0;
    FILE *fp;
    io_out_t out{};
};

}  // namespace fuzz
