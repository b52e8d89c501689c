// acl.h - client access lists: validation of net/mask texts, compiled
// lists, matching, and the blank stripping their entries need.
#pragma once

#include <cstdint>

#include "diag.h"

// One compiled entry. Addresses and masks are held in network byte order:
// an IPv4 entry uses the first 4 bytes, an IPv6 entry all 16.
typedef struct ip_acl_s {
    std::uint8_t ip[16];
    std::uint8_t net[16];
    int family;  // AF_INET or AF_INET6
    int allow;   // 1 allow, 0 deny
    struct ip_acl_s *next;
} ip_acl_t;

// Compiles an access-list string ("+net/mask,-addr,+10.0.0.0/8,-::1,...")
// into a new list in *acl_ll, freeing the list held there first. Entries
// are validated texts (qx_check_netip_mask); an IPv6 or prefix entry that
// does not parse fails the whole list (-1 with a message) rather than
// dropping a rule. The caller owns the list (qx_free_ip_acl).
int qx_create_ip_acl(diagstk_t *diag, char *acl, void **acl_ll);
int qx_free_ip_acl(diagstk_t *diag, void **acl_ll);
// 1 when `client_ip` (dotted IPv4 or IPv6 text) is allowed: the first
// matching entry decides, and a client no entry matches is allowed.
int qx_check_access_control(diagstk_t *diag, char *client_ip, void *ip_acl);
// The first entry of `ip_acl` that matches `client_ip` decides: 1 allow,
// 0 deny; -1 when no entry matches (an allow list denies such a client).
// An IPv4 entry matches IPv4 clients (IPv4-mapped IPv6 text included), an
// IPv6 entry IPv6 clients; an entry whose mask is all zeros matches every
// client of both families.
int qx_acl_first_match(diagstk_t *diag, const char *client_ip, void *ip_acl);
int convert_string_to_quadint(diagstk_t *diag, char *str, int *quad);
// Validates one access-list entry without its sign: a dotted quad with an
// optional "/" and dotted mask or prefix length 0..32, or an IPv6 address
// with an optional prefix length 0..128. With `flag` dotted quads must be
// complete. 0 valid; -1 with one level-2 message.
int qx_check_netip_mask(diagstk_t *diag, char *ipstr, int flag, char **first_error_chr);
int qx_check_ip_address(diagstk_t *diag, const char *ipstr, int flag,
                        const char **first_error_chr);
// Flags: 1 leading, 2 trailing blanks; 4 work on a heap copy (caller frees).
char *qx_strip_spaces(diagstk_t *diag, char *str, unsigned long flags);
