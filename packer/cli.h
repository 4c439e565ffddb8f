// zobrin-pack's command line: CLI11's set-up of the commands and their help, the messages of a
// command line it refuses, and each command's run from its callback (the payload, object and
// exe commands turn their options into a request, plan it, then write it).
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

// The arguments as UTF-8, "--arg=" and the other options where an empty value means
// something given as the option and an empty argument.
std::vector<std::string> cli_args(int argc, char** argv);

// Sets up `app`'s commands. `self` is this program's argv[0], which locates the default
// launcher kit.
void cli_setup(CLI::App& app, const std::string& self);

// Parses `args` (from cli_args) into `app`, running the chosen command.
void cli_parse(CLI::App& app, std::vector<std::string>& args);

// The message for a parse error CLI11 reports, in the words zobrin-pack has always used.
std::string cli_message(const CLI::ParseError& error, const CLI::App& app);
