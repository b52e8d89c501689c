// unit_support.h - helpers the unit tests share: channels over memory and
// sockets, reads of chosen sizes, the diagnostic texts as a list and a
// parsed document.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "iodef.h"
#include "log.h"
#include "parse.h"
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

// Applies configuration document `doc` as if read from config.xml.
inline int apply_config(diagstk_t *d, std::string doc)
{
    io_in_t in = file_in(fmemopen(doc.data(), doc.size(), "r"));
    const int r = qx_parse_config(d, &in);
    std::fclose(in.src.file.fp);
    return r;
}

// Applies the settings elements `settings` as a whole configuration.
inline int apply_settings(diagstk_t *d, const std::string &settings)
{
    return apply_config(d, "<Configuration>" + settings + "</Configuration>");
}

// The configuration document the settings are written back as.
inline std::string written_config()
{
    MemOut out;
    EXPECT_EQ(qx_return_config(nullptr, &out.out), 0);
    return out.text();
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


// One document parsed from a channel or from `text`, and lookups by path.
struct Parsed {
    diagstk_ptr d{diagstk_new()};
    int result = 0;
    void *tree = nullptr;
    Parsed() = default;
    explicit Parsed(io_in_t *in, std::size_t limit = QX_MAX_REQUEST_BYTES)
    {
        quilletlog = 0;
        result = qx_parse_xml(d.get(), in, &tree, limit);
    }
    explicit Parsed(std::string text)
    {
        io_in_t in = file_in(fmemopen(text.data(), text.size(), "r"));
        quilletlog = 0;
        result = qx_parse_xml(d.get(), &in, &tree);
        std::fclose(in.src.file.fp);
    }
    Parsed(const Parsed &) = delete;
    ~Parsed()
    {
        if (tree) qx_free_parse_tree(d.get(), tree);
    }
    // The text at `path`, or "<result>" when there is none.
    std::string value(const char *path, unsigned instance = 1) const
    {
        char *val = nullptr;
        const int r = qx_tree_element(d.get(), tree, instance, path, &val, nullptr);
        return r == TREE_ELEMENT_DATA ? val : "<" + std::to_string(r) + ">";
    }
};

// A socket channel whose reads return `pieces` (1..2048 bytes) one at a
// time. With `slow`, each is sent once the one before has been read.
// Unless `hang_up` the writer stays, like a client waiting for its answer:
// a reader that waits for more fails after a second instead of hanging.
class Feed {
public:
    Feed(std::vector<std::string> pieces, bool hang_up, bool slow = false)
        : pieces_(std::move(pieces))
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) throw std::runtime_error("socketpair");
        reader_ = sv[0], writer_ = sv[1];
        const timeval second{1, 0};
        setsockopt(reader_, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
        thread_ = std::thread([this, hang_up, slow] {
            for (const std::string &piece : pieces_) {
                if (send(writer_, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return;
                while (slow && unread() > 0) std::this_thread::yield();
            }
            if (hang_up) shutdown(writer_, SHUT_WR);
        });
        in = socket_in(reader_);
    }
    ~Feed()
    {
        io_close_channels(&in, nullptr, nullptr);  // ends a writer blocked in send
        thread_.join();
        close(writer_);
    }
    io_in_t in;

private:
    // Bytes sent and not yet read; 0 also once the reader has closed.
    int unread() const
    {
        int n = 0;
        return ioctl(writer_, SIOCOUTQ, &n) == 0 ? n : 0;
    }
    std::vector<std::string> pieces_;
    int reader_, writer_;
    std::thread thread_;
};

// `s` in pieces of `n` bytes, the last one shorter.
inline std::vector<std::string> split(const std::string &s, std::size_t n)
{
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < s.size(); i += n) pieces.push_back(s.substr(i, n));
    return pieces;
}
