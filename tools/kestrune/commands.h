// The subcommands. Each checks its own words and options, returns its exit
// status, and throws a CommandError for anything that ends it early.
#ifndef KESTRUNE_TOOLS_COMMANDS_H
#define KESTRUNE_TOOLS_COMMANDS_H

#include "command_line.h"
#include "output.h"

namespace kestrune::cli {

int run_status(const Invocation &invocation, Output &out);
int run_set(const Invocation &invocation, Output &out);
int run_limit(const Invocation &invocation, Output &out);
int run_watch(const Invocation &invocation, Output &out);
int run_policy(const Invocation &invocation, Output &out);

// One line on standard error, for what is worth knowing but no failure.
void print_note(const std::string &text);

} // namespace kestrune::cli

#endif
