// server_test.h - the fixture every end-to-end test starts from, and the
// shapes of the documents the server answers with.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "install_dir.h"
#include "process.h"

// "<Configuration>" + settings + "</Configuration>\n"
std::string config_doc(std::string_view settings);

// A configuration with tracing off and LogDir in a private temporary
// directory, so that a test leaves nothing behind.
class ServerTest : public ::testing::Test {
protected:
    ServerTest() { InstallDir::write_config(config_doc(quiet_settings())); }
    std::string quiet_settings() const
    {
        return "<Logging>0</Logging><LogDir>" + logdir.path() + "</LogDir>";
    }

    InstallDir install;
    TempDir logdir;
    TempDir work;
};

// Checks the XML declaration and the generated-by comment, each line ending
// CR LF, and hands back what follows them.
::testing::AssertionResult split_prolog(const std::string &doc, std::string *body);

// The body after a valid prolog, or the whole text marked "no prolog: ".
std::string body_of(const std::string &doc);

// Removes the driver-information comment from the start of `body` and
// returns it; empty when there is none.
std::string strip_comment(std::string *body);

// The body of the error result document for one diagnostic text, escaped.
std::string error_body(std::string_view escaped_text);

// The nine lines of the usage text.
extern const char *const USAGE;
