// unit_support.h - helpers the unit tests share: an output channel that
// writes into memory, a scratch directory, and resets of process-wide state.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iodef.h"
#include "util.h"

namespace unit {

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
inline std::vector<std::string> messages(const diagstk_t *d)
{
    std::vector<std::string> texts;
    for (unsigned i = 0; i < d->entries; i++) texts.emplace_back(d->items[i].text);
    return texts;
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
