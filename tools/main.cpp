// ovra-capture: a small host for libOvraHelper, loading it with dlopen like a real application.
//   ovra-capture [--library PATH] COMMAND [ARGS...]
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Command.h"
#include "Library.h"

namespace ovra::tool {

std::vector<Command>& commandTable() {
    static std::vector<Command> table;
    return table;
}

namespace {

void printUsage(std::FILE* to) {
    std::fprintf(to, "usage: ovra-capture [--library PATH] COMMAND [ARGS...]\n\ncommands:\n");
    auto table = commandTable();
    std::sort(table.begin(), table.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    for (const auto& c : table)
        std::fprintf(to, "  %s %s\n      %s\n", c.name.c_str(), c.usage.c_str(), c.summary.c_str());
}

}  // namespace
}  // namespace ovra::tool

int main(int argc, char** argv) {
    using namespace ovra::tool;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string libraryPath;
    if (args.size() >= 2 && args[0] == "--library") {
        libraryPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        printUsage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const auto& table = commandTable();
    const auto command = std::find_if(table.begin(), table.end(),
                                      [&](const Command& c) { return c.name == args[0]; });
    if (command == table.end()) {
        std::fprintf(stderr, "ovra-capture: unknown command '%s'\n\n", args[0].c_str());
        printUsage(stderr);
        return 2;
    }
    try {
        ovra::Library library(libraryPath);
        return command->run(library, {args.begin() + 1, args.end()});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ovra-capture: %s\n", e.what());
        return 1;
    }
}
