// acl.h - client access lists: validation of net/mask texts, compiled
// lists, matching, and the blank stripping their entries need.
#pragma once

#include "diag.h"


typedef struct ip_acl_s {
    int ip[4];
    int net[4];
    int allow;
    struct ip_acl_s *next;
} ip_acl_t;

int qx_create_ip_acl(diagstk_t *diag, char *acl, void **acl_ll);
int qx_free_ip_acl(diagstk_t *diag, void **acl_ll);
int qx_check_access_control(diagstk_t *diag, char *client_ip, void *ip_acl);
// The first entry of `ip_acl` that matches `client_ip` decides: 1 allow,
// 0 deny; -1 when no entry matches (an allow list denies such a client).
int qx_acl_first_match(diagstk_t *diag, const char *client_ip, void *ip_acl);
int convert_string_to_quadint(diagstk_t *diag, char *str, int *quad);
int qx_check_netip_mask(diagstk_t *diag, char *ipstr, int flag, char **first_error_chr);
int qx_check_ip_address(diagstk_t *diag, const char *ipstr, int flag,
                        const char **first_error_chr);
// Flags: 1 leading, 2 trailing blanks; 4 work on a heap copy (caller frees).
char *qx_strip_spaces(diagstk_t *diag, char *str, unsigned long flags);
