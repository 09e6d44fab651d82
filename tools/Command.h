// The subcommands of ovra-capture. Each lives in its own file and adds itself to the table with
// a static CommandRegistration, so a new command needs no edit anywhere else.
#pragma once

#include <string>
#include <vector>

namespace ovra {
struct Library;
}

namespace ovra::tool {

struct Command {
    std::string name;
    std::string usage;    // the arguments, e.g. "[-o FILE]"
    std::string summary;  // one line for the help text
    // Runs with the arguments after the command's name; returns the exit code.
    int (*run)(Library& library, const std::vector<std::string>& args);
};

// Every registered command, in the order of registration.
std::vector<Command>& commandTable();

struct CommandRegistration {
    explicit CommandRegistration(Command command) { commandTable().push_back(std::move(command)); }
};

}  // namespace ovra::tool
