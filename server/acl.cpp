// acl.cpp - client access lists: validation of net/mask texts,
// compilation of access-list strings, matching, and blank stripping.

#include <cctype>
#include <cstdlib>
#include <cstring>

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
        const std::size_t addr_len = span_until(p, ",/");
        const char *addr = p;
        p += addr_len;
        if (*p == '/') {
            p++;
            const std::size_t mask_len = span_until(p, ",");
            quad_from(p, mask_len, entry.net);
            p += mask_len;
        } else {
            for (int &n : entry.net) n = 255;
        }
        quad_from(addr, addr_len, entry.ip);

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
    int c[4];
    convert_string_to_quadint(diag, const_cast<char *>(client_ip), c);
    for (auto *e = static_cast<ip_acl_t *>(ip_acl); e != nullptr; e = e->next) {
        bool match = true;
        for (int i = 0; i < 4; i++)
            if ((c[i] & e->net[i]) != (e->ip[i] & e->net[i])) match = false;
        if (match) return e->allow;
    }
    return -1;
}

int qx_check_access_control(diagstk_t *diag, char *client_ip, void *ip_acl)
{
    // Addresses no entry covers are admitted.
    return qx_acl_first_match(diag, client_ip, ip_acl) != 0 ? 1 : 0;
}
