// reports.h - stored request documents and style sheets served over HTTP:
// `GET /r/NAME` runs RequestDir/NAME.xml, `GET /xsl/NAME.xsl` sends
// StyleSheetDir/NAME.xsl, so that a browser shows a report as a page.
#pragma once

#include <string>
#include <string_view>

#include "diag.h"

inline constexpr std::size_t QX_DIR_SETTING_SIZE = 1024;
extern char ini_request_dir[QX_DIR_SETTING_SIZE];
extern char ini_stylesheet_dir[QX_DIR_SETTING_SIZE];

// A stored file: its bytes, or why there are none.
enum class report_file { found, unknown, unreadable };

// Reads `name` + `suffix` from the directory `setting` names (relative to
// the configuration file's directory unless absolute). Only names of letters,
// digits, '-' and '_' are looked up: no path, however written, leaves the
// directory. `unknown` when the setting is empty, the name is not such a
// name, or no regular file has it; `unreadable` (with a message) when one
// exists but cannot be read or is larger than a request may be.
report_file qx_read_report_file(diagstk_t *diag, const char *setting, std::string_view name,
                                std::string_view suffix, std::string *contents);
