// connstr.h - ODBC connection strings: reading them into keyword/value
// pairs, the rules no connection string may break, and masking secrets
// before a string reaches a trace.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "diag.h"

// One `key=value` pair of a connection string. `key` is trimmed of blanks
// and of one pair of surrounding braces; `value` is the raw text after "="
// (braces kept) up to the ";" that ends the pair. `begin` is the offset of
// the pair in the whole text, `value_begin` and `value_end` those of its
// value. A piece without "=" has `has_value` false and an empty value.
struct connstr_pair {
    std::string_view key;
    std::string_view value;
    std::size_t begin = 0, value_begin = 0, value_end = 0;
    bool has_value = false;
};

// How the pairs are found. The driver manager and psqlodbc honour braces: a
// value that starts with "{" runs to the matching "}" ("}}" is a brace
// inside it) and may hold ";". The SQLite driver knows no braces and splits
// at every ";". A string is checked both ways, so a text one reader takes
// for a value cannot hide a keyword from the other.
enum class connstr_reading { braced, plain };

// The pairs of `text` read the given way, in order. Empty pieces (";;", a
// trailing ";") give no pair; a piece without "=" gives a pair with an
// empty value. An unclosed brace runs to the end of the text.
std::vector<connstr_pair> qx_connstr_pairs(std::string_view text, connstr_reading how);

// The value of a pair as a driver sees it: blanks trimmed, one pair of
// braces removed and "}}" inside them turned into "}".
std::string qx_connstr_value(std::string_view raw);

// Keywords no connection string may hold: each makes a driver or the
// driver manager load a library, or read or write a file, that the writer
// of the string chooses. Compared without regard to case.
inline constexpr std::string_view QX_REFUSED_KEYWORDS[] = {
    "LoadExt",      // SQLite driver: loads an extension library
    "Tracefile",    // SQLite driver: writes a trace at any path
    "FILEDSN",      // driver manager: reads a file data source
    "SAVEFILE",     // driver manager: writes a file data source
    "ODBCINI",      // driver manager: another data source file
    "ODBCSYSINI",   // driver manager: another system configuration directory
    "ODBCINSTINI",  // driver manager: another driver registry
    "Logdir",       // psqlodbc: log files holding the connection string
    "Debug",        // psqlodbc: writes a debug log
    "CommLog",      // psqlodbc: writes a communication log
    "pqopt",        // psqlodbc: libpq options, file paths and key engines among them
    "D5",           // psqlodbc: short for pqopt
    "B2",           // psqlodbc: short for Debug
    "B3",           // psqlodbc: short for CommLog
    "CX",           // psqlodbc: option bits, Debug and CommLog among them
    "TranslationDLL",   // psqlodbc: a translation library to load
    "TranslationName",  // psqlodbc: the same, by name
    "DMEnvAttr",    // driver manager: sets environment variables (ODBCINI among them)
    "DMConnAttr",   // driver manager: any connection attribute, trace files included
    "DMStmtAttr",   // driver manager: any statement attribute
};

// True when `key` (as a pair gives it) is in QX_REFUSED_KEYWORDS.
bool qx_connstr_keyword_refused(std::string_view key);

// The rules every connection string keeps, whoever wrote it: no refused
// keyword, and a Driver that names a registered driver, not a path.
// The empty text when `text` keeps them, else the message that says why.
std::string qx_connstr_violation(std::string_view text);
// The same as a check: 0, or -1 with one of
//   "Connection string refused - keyword %s is not allowed"
//   "Connection string refused - Driver must name a registered driver"
// on `diag` (level 3).
int qx_connstr_check(diagstk_t *diag, std::string_view text);

// True when the value of `key` is a secret: PWD, PASSWORD, or a keyword
// added with qx_connstr_set_secrets. Without regard to case.
bool qx_connstr_secret(std::string_view key);
// Keywords whose values are secrets beside PWD and PASSWORD (those a
// client may add to a data source); replaces the earlier list.
void qx_connstr_set_secrets(std::vector<std::string> keys);

// `text` with the value of every secret keyword written as "***", read
// both ways: what a trace may show of a connection string.
std::string qx_connstr_mask(std::string_view text);
// An Environment entry as a trace may show it: the value of a variable
// whose name holds PASSWORD or is PWD (any case), or is a secret keyword,
// written as "***".
std::string qx_environment_mask(std::string_view entry);
