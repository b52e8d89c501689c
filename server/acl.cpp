// acl.cpp - client access lists: validation of net/mask texts,
// compilation of access-list strings, matching, and blank stripping.

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <string_view>

#include "acl.h"

namespace {

constexpr const char *CHECK_OP = "qx_check_ip_address";
constexpr const char *CREATE_OP = "create_ip_acl";

// The text of `s` up to (not including) the first of `stops` or the end.
std::size_t span_until(const char *s, const char *stops) { return std::strcspn(s, stops); }

// Converts a dotted quad of `len` bytes at `s` into quad[0..3]. Missing
// numbers are 0; nothing past `len` is read.
void quad_from(const char *s, std::size_t len, int *quad)
{
    std::size_t pos = 0;
    for (int i = 0; i < 4; i++) {
        char num[16] = {};
        std::size_t n = 0;
        while (pos < len && s[pos] != '.') {
            if (n + 1 < sizeof num) num[n++] = s[pos];
            pos++;
        }
        quad[i] = static_cast<int>(std::atol(num));
        if (pos < len) pos++;  // the dot
    }
}

// A prefix length: one to three decimal digits. -1 for any other text.
int prefix_of(std::string_view s)
{
    if (s.empty() || s.size() > 3) return -1;
    int v = 0;
    for (const char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// A mask text without dots is a prefix length (10.0.0.0/8), one with dots
// the documented dotted mask (10.0.0.0/255.0.0.0).
bool is_prefix_text(std::string_view s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

void mask_from_prefix(int prefix, std::uint8_t *net)
{
    for (int i = 0; i < 16; i++) {
        const int bits = std::clamp(prefix - 8 * i, 0, 8);
        net[i] = static_cast<std::uint8_t>(bits == 0 ? 0 : 0xFF << (8 - bits));
    }
}

// The address of an IPv6 text without its prefix; false when it is none.
bool parse_ipv6(std::string_view text, std::uint8_t *out)
{
    if (text.size() >= INET6_ADDRSTRLEN) return false;
    const std::string copy(text);
    in6_addr a{};
    if (inet_pton(AF_INET6, copy.c_str(), &a) != 1) return false;
    std::memcpy(out, a.s6_addr, 16);
    return true;
}

int check_ipv6(diagstk_t *diag, const char *ipstr)
{
    const std::string_view text(ipstr);
    const std::size_t slash = text.find('/');
    std::uint8_t addr[16];
    if (!parse_ipv6(text.substr(0, slash), addr)) {
        diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - not an IPv6 address", CHECK_OP,
                    ipstr);
        return -1;
    }
    if (slash != std::string_view::npos) {
        const int prefix = prefix_of(text.substr(slash + 1));
        if (prefix < 0 || prefix > 128) {
            diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - prefix length must be 0 to 128",
                        CHECK_OP, ipstr);
            return -1;
        }
    }
    return 0;
}

// Compiles one entry (sign already taken) into `entry`; false when an IPv6
// address or a prefix length does not parse.
bool compile_entry(std::string_view text, ip_acl_t *entry)
{
    const std::size_t slash = text.find('/');
    const std::string_view addr = text.substr(0, slash);
    const std::string_view mask =
        slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
    if (addr.find(':') != std::string_view::npos) {
        entry->family = AF_INET6;
        const int prefix = slash == std::string_view::npos ? 128 : prefix_of(mask);
        if (!parse_ipv6(addr, entry->ip) || prefix < 0 || prefix > 128) return false;
        mask_from_prefix(prefix, entry->net);
        return true;
    }
    entry->family = AF_INET;
    int quad[4];
    quad_from(addr.data(), addr.size(), quad);
    for (int i = 0; i < 4; i++) entry->ip[i] = static_cast<std::uint8_t>(quad[i]);
    if (slash == std::string_view::npos) {
        mask_from_prefix(32, entry->net);
    } else if (is_prefix_text(mask)) {
        const int prefix = prefix_of(mask);
        if (prefix < 0 || prefix > 32) return false;
        mask_from_prefix(prefix, entry->net);
    } else {
        quad_from(mask.data(), mask.size(), quad);
        for (int i = 0; i < 4; i++) entry->net[i] = static_cast<std::uint8_t>(quad[i]);
    }
    return true;
}

// A client address as matching sees it. An IPv4-mapped IPv6 address (a
// peer of a listener on "::") is the IPv4 client it stands for. Text that
// is neither (the control socket's "local") has no family and matches
// only entries that match everyone.
struct client_addr {
    int family = 0;
    std::uint8_t bytes[16] = {};
};

client_addr parse_client(const char *text)
{
    client_addr c;
    if (std::strchr(text, ':') != nullptr) {
        if (!parse_ipv6(text, c.bytes)) return client_addr{};
        c.family = AF_INET6;
        if (IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr *>(c.bytes))) {
            std::memmove(c.bytes, c.bytes + 12, 4);
            std::memset(c.bytes + 4, 0, 12);
            c.family = AF_INET;
        }
        return c;
    }
    if (text[std::strspn(text, "0123456789.")] != '\0') return c;
    int quad[4];
    quad_from(text, std::strlen(text), quad);
    for (int i = 0; i < 4; i++) c.bytes[i] = static_cast<std::uint8_t>(quad[i]);
    c.family = AF_INET;
    return c;
}

bool matches(const ip_acl_t *e, const client_addr &c)
{
    bool everyone = true;
    for (const std::uint8_t b : e->net) everyone = everyone && b == 0;
    // The deny-all entry 0.0.0.0/0.0.0.0 keeps its meaning on a server
    // that also takes IPv6 clients.
    if (everyone) return true;
    if (e->family != c.family) return false;
    const int n = c.family == AF_INET ? 4 : 16;
    for (int i = 0; i < n; i++)
        if ((c.bytes[i] ^ e->ip[i]) & e->net[i]) return false;
    return true;
}

}  // namespace

int convert_string_to_quadint(diagstk_t *diag, char *str, int *quad)
{
    (void)diag;  // works on a bounded view instead of a heap copy
    quad_from(str, std::strlen(str), quad);
    return 0;
}

int qx_check_ip_address(diagstk_t *diag, const char *ipstr, int flag,
                        const char **first_error_chr)
{
    if (ipstr == nullptr) return -1;
    unsigned dots = 0, digits = 0, numbers = 0, value = 0;
    for (const char *p = ipstr; *p; p++) {
        if (std::isdigit(static_cast<unsigned char>(*p))) {
            if (digits == 0) numbers++;
            if (++digits > 3) {
                diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - too many chrs at \"%s\"",
                            CHECK_OP, ipstr, p);
                if (first_error_chr) *first_error_chr = p;
                return -1;
            }
            value = value * 10 + static_cast<unsigned>(*p - '0');
        } else if (*p == '.') {
            digits = 0;
            if (++dots > 3) {
                diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - too many .'s at \"%s\"",
                            CHECK_OP, ipstr, p);
                if (first_error_chr) *first_error_chr = p;
                return -1;
            }
            if (value > 255) {
                diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - number %u too big", CHECK_OP,
                            ipstr, value);
                if (first_error_chr) *first_error_chr = p;
                return -1;
            }
            value = 0;
        } else {
            diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - invalid character at \"%s\"",
                        CHECK_OP, ipstr, p);
            if (first_error_chr) *first_error_chr = p;
            return -1;
        }
    }
    if (value > 255) {
        diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - number %u too big", CHECK_OP, ipstr,
                    value);
        if (first_error_chr) *first_error_chr = ipstr + std::strlen(ipstr);
        return -1;
    }
    if (flag && (dots != 3 || numbers != 4)) {
        diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - incomplete dotted quad", CHECK_OP,
                    ipstr);
        if (first_error_chr) *first_error_chr = nullptr;
        return -1;
    }
    return 0;
}

int qx_check_netip_mask(diagstk_t *diag, char *ipstr, int flag, char **first_error_chr)
{
    (void)first_error_chr;  // accepted, never written
    if (ipstr != nullptr && std::strchr(ipstr, ':') != nullptr) return check_ipv6(diag, ipstr);
    const int mark = diagstk_context(diag);
    const char *bad = nullptr;
    if (qx_check_ip_address(diag, ipstr, flag, &bad) == 0) return 0;
    if (bad == nullptr || *bad != '/') return -1;

    if (mark >= 0) diagstk_remove(diag, static_cast<diagstk_ctx_t>(mark));
    if (flag) {
        // The address part must itself be a complete quad of numbers <= 255;
        // the message names the whole text.
        unsigned dots = 0, numbers = 0, value = 0;
        bool in_number = false;
        for (const char *p = ipstr; p < bad; p++) {
            if (*p == '.') {
                if (value > 255) {
                    diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - number %u too big",
                                CHECK_OP, ipstr, value);
                    return -1;
                }
                dots++, value = 0, in_number = false;
            } else {
                if (!in_number) numbers++, in_number = true;
                value = value * 10 + static_cast<unsigned>(*p - '0');
            }
        }
        if (value > 255) {
            diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - number %u too big", CHECK_OP,
                        ipstr, value);
            return -1;
        }
        if (dots != 3 || numbers != 4) {
            diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - incomplete dotted quad",
                        CHECK_OP, ipstr);
            return -1;
        }
    }
    if (is_prefix_text(bad + 1)) {
        const int prefix = prefix_of(bad + 1);
        if (prefix < 0 || prefix > 32) {
            diagstk_add(diag, 2, "%s: invalid net/mask \"%s\" - prefix length must be 0 to 32",
                        CHECK_OP, ipstr);
            return -1;
        }
        return 0;
    }
    return qx_check_ip_address(diag, bad + 1, flag, nullptr);
}

char *qx_strip_spaces(diagstk_t *diag, char *str, unsigned long flags)
{
    if (str == nullptr) {
        diagstk_add(diag, 3, "%s: NULL string passed for stripping spaces", "qx_strip_spaces");
        return nullptr;
    }
    char *dest = str;
    if (flags & 4) {
        dest = strdup(str);
        if (dest == nullptr) {
            diagstk_add(diag, 3, "%s: failed to allocate %d bytes for string duplication",
                        "qx_strip_spaces", static_cast<int>(std::strlen(str) + 1));
            return nullptr;
        }
    }
    const char *begin = dest;
    if (flags & 1)
        while (*begin == ' ') begin++;
    const char *end = begin + std::strlen(begin);
    if (flags & 2)
        while (end > begin && end[-1] == ' ') end--;
    const std::size_t len = static_cast<std::size_t>(end - begin);
    std::memmove(dest, begin, len);
    dest[len] = '\0';
    return dest;
}

int qx_free_ip_acl(diagstk_t *diag, void **acl_ll)
{
    if (acl_ll == nullptr) {
        diagstk_add(diag, 3, "%s: now where to set ACL LL", "qx-free_ip_acl");
        return -1;
    }
    auto *item = static_cast<ip_acl_t *>(*acl_ll);
    while (item != nullptr) {
        ip_acl_t *next = item->next;
        std::memset(item, 0, sizeof *item);
        std::free(item);
        item = next;
    }
    *acl_ll = nullptr;
    return 0;
}

int qx_create_ip_acl(diagstk_t *diag, char *acl, void **acl_ll)
{
    if (acl == nullptr) {
        diagstk_add(diag, 3, "%s: internal error - no ACL string", CREATE_OP);
        return -1;
    }
    if (acl_ll == nullptr) {
        diagstk_add(diag, 3, "%s: now where to return ACL LL", CREATE_OP);
        return -1;
    }
    if (*acl_ll != nullptr) qx_free_ip_acl(diag, acl_ll);
    if (*acl == '\0') return 0;

    // Entries are read in place with bounded spans: no copy of the text.
    ip_acl_t *head = nullptr;
    ip_acl_t **tail = &head;
    const char *p = acl;
    while (*p) {
        ip_acl_t entry{};
        entry.allow = 1;
        if (*p == '+' || *p == '-') entry.allow = (*p++ == '+');
        const std::string_view text(p, span_until(p, ","));
        p += text.size();
        if (!compile_entry(text, &entry)) {
            diagstk_add(diag, 3, "%s: invalid entry \"%.*s\" in access list", CREATE_OP,
                        static_cast<int>(text.size()), text.data());
            qx_free_ip_acl(diag, reinterpret_cast<void **>(&head));
            return -1;
        }
        auto *item = static_cast<ip_acl_t *>(std::malloc(sizeof(ip_acl_t)));
        if (item == nullptr) {
            diagstk_add(diag, 3, "%s: Failed to allocate %d bytes for ACL LL item", CREATE_OP,
                        static_cast<int>(sizeof(ip_acl_t)));
            qx_free_ip_acl(diag, reinterpret_cast<void **>(&head));
            return -1;
        }
        *item = entry;
        *tail = item;
        tail = &item->next;
        if (*p == ',') p++;
    }
    *acl_ll = head;
    return 0;
}

int qx_acl_first_match(diagstk_t *diag, const char *client_ip, void *ip_acl)
{
    (void)diag;  // matching never fails
    const client_addr c = parse_client(client_ip);
    for (auto *e = static_cast<ip_acl_t *>(ip_acl); e != nullptr; e = e->next)
        if (matches(e, c)) return e->allow;
    return -1;
}

int qx_check_access_control(diagstk_t *diag, char *client_ip, void *ip_acl)
{
    // Addresses no entry covers are admitted.
    return qx_acl_first_match(diag, client_ip, ip_acl) != 0 ? 1 : 0;
}
