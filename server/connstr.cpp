// connstr.cpp - connection strings: pairs read the way the driver manager
// and the drivers read them, the keywords and Driver values no string may
// hold, and secrets masked for traces.

#include "connstr.h"
#include "util.h"

#include <algorithm>
#include <strings.h>
#include <utility>

namespace {

// A key as a reader compares it: blanks and one pair of braces gone.
std::string_view key_of(std::string_view raw)
{
    raw = qx_trim(raw);
    if (raw.size() >= 2 && raw.front() == '{' && raw.back() == '}')
        raw = qx_trim(raw.substr(1, raw.size() - 2));
    return raw;
}

// The end of a braced value whose "{" is at `open`: one past its closing
// "}", or the end of the text when it is never closed.
std::size_t brace_end(std::string_view text, std::size_t open)
{
    for (std::size_t q = open + 1; q < text.size(); q++) {
        if (text[q] != '}') continue;
        if (q + 1 < text.size() && text[q + 1] == '}') {
            q++;  // "}}" is a brace inside the value
            continue;
        }
        return q + 1;
    }
    return text.size();
}

// The end of the value that starts at `from`: the ";" that ends the pair
// (or the end of the text). With braces, a ";" inside them does not end it.
std::size_t value_end(std::string_view text, std::size_t from, connstr_reading how)
{
    std::size_t p = from;
    if (how == connstr_reading::braced) {
        while (p < text.size() && qx_blank(text[p])) p++;
        if (p < text.size() && text[p] == '{') p = brace_end(text, p);
    }
    const std::size_t semi = text.find(';', p);
    return semi == std::string_view::npos ? text.size() : semi;
}

std::vector<std::pair<std::size_t, std::size_t>> secret_spans(std::string_view text)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (const connstr_reading how : {connstr_reading::braced, connstr_reading::plain})
        for (const connstr_pair &p : qx_connstr_pairs(text, how))
            if (p.value_end > p.value_begin && qx_connstr_secret(p.key))
                spans.emplace_back(p.value_begin, p.value_end);
    std::sort(spans.begin(), spans.end());
    return spans;
}

std::vector<std::string> extra_secrets;

}  // namespace

std::vector<connstr_pair> qx_connstr_pairs(std::string_view text, connstr_reading how)
{
    std::vector<connstr_pair> pairs;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t stop = text.find_first_of("=;", i);
        if (stop == std::string_view::npos || text[stop] == ';') {
            const std::size_t end = stop == std::string_view::npos ? text.size() : stop;
            const std::string_view key = key_of(text.substr(i, end - i));
            if (!key.empty()) pairs.push_back({key, {}, i, end, end, false});
            i = end + 1;
            continue;
        }
        const std::size_t begin = stop + 1, end = value_end(text, begin, how);
        pairs.push_back({key_of(text.substr(i, stop - i)), text.substr(begin, end - begin), i,
                         begin, end, true});
        i = end + 1;
    }
    return pairs;
}

std::string qx_connstr_value(std::string_view raw)
{
    raw = qx_trim(raw);
    if (raw.empty() || raw.front() != '{') return std::string(raw);
    std::string value;
    for (std::size_t q = 1; q < raw.size(); q++) {
        if (raw[q] == '}') {
            if (q + 1 < raw.size() && raw[q + 1] == '}') {
                value += '}';
                q++;
                continue;
            }
            break;
        }
        value += raw[q];
    }
    return value;
}

bool qx_connstr_keyword_refused(std::string_view key)
{
    return std::any_of(std::begin(QX_REFUSED_KEYWORDS), std::end(QX_REFUSED_KEYWORDS),
                       [key](std::string_view k) { return qx_iequal(k, key); });
}

std::string qx_connstr_violation(std::string_view text)
{
    for (const connstr_reading how : {connstr_reading::braced, connstr_reading::plain}) {
        for (const connstr_pair &p : qx_connstr_pairs(text, how)) {
            if (qx_connstr_keyword_refused(p.key))
                return "Connection string refused - keyword " + std::string(p.key) +
                       " is not allowed";
            // Any "/" makes the driver manager load the value as a file;
            // a name is looked up in the root-owned driver registry.
            if (qx_iequal(p.key, "DRIVER") && p.value.find('/') != std::string_view::npos)
                return "Connection string refused - Driver must name a registered driver";
        }
    }
    return {};
}

int qx_connstr_check(diagstk_t *diag, std::string_view text)
{
    const std::string why = qx_connstr_violation(text);
    if (why.empty()) return 0;
    diagstk_add(diag, 3, "%s", why.c_str());
    return -1;
}

bool qx_connstr_secret(std::string_view key)
{
    if (qx_iequal(key, "PWD") || qx_iequal(key, "PASSWORD")) return true;
    return std::any_of(extra_secrets.begin(), extra_secrets.end(),
                       [key](const std::string &k) { return qx_iequal(k, key); });
}

void qx_connstr_set_secrets(std::vector<std::string> keys) { extra_secrets = std::move(keys); }

std::string qx_connstr_mask(std::string_view text)
{
    std::string masked;
    std::size_t at = 0;
    for (const auto &[begin, end] : secret_spans(text)) {
        if (end <= at) continue;  // inside a span already masked
        if (begin >= at) {
            masked.append(text.substr(at, begin - at));
            masked += "***";
        }
        at = end;
    }
    masked.append(text.substr(std::min(at, text.size())));
    return masked;
}

std::string qx_environment_mask(std::string_view entry)
{
    const std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) return std::string(entry);
    const std::string_view name = entry.substr(0, eq);
    bool secret = qx_connstr_secret(name);
    for (std::size_t i = 0; !secret && i + 8 <= name.size(); i++)
        secret = qx_iequal(name.substr(i, 8), "PASSWORD");
    return secret ? std::string(entry.substr(0, eq + 1)) + "***" : std::string(entry);
}
