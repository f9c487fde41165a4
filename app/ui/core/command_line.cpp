#include "core/command_line.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace zelhart::ui {
namespace {

bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

struct Verb {
    std::string_view name;
    CommandLine::Action action;
    size_t arguments;
    bool windows; // a /switch: any case
};

constexpr Verb kVerbs[] = {
    {"/p", CommandLine::Action::Print, 1, true},
    {"/pt", CommandLine::Action::PrintTo, 4, true},
    {"--print", CommandLine::Action::Print, 1, false},
    {"--print-to", CommandLine::Action::PrintTo, 2, false},
    {"--print-pdf", CommandLine::Action::PrintPdf, 2, false},
};

ParsedCommandLine Fail(std::string error) {
    ParsedCommandLine p;
    p.error = std::move(error);
    return p;
}

ParsedCommandLine Done(CommandLine line) {
    ParsedCommandLine p;
    p.ok = true;
    p.line = std::move(line);
    return p;
}

ParsedCommandLine ParseVerb(const Verb& verb, std::span<const std::string> rest) {
    if (rest.size() != verb.arguments)
        return Fail(std::string(verb.name) + " takes " + std::to_string(verb.arguments) +
                    (verb.arguments == 1 ? " argument" : " arguments"));
    for (const std::string& a : rest)
        if (a.empty()) return Fail(std::string(verb.name) + ": an empty argument");
    CommandLine line;
    line.action = verb.action;
    if (verb.action == CommandLine::Action::PrintPdf) {
        line.output = rest[0];
        line.file = rest[1];
    } else {
        line.file = rest[0];
        if (verb.action == CommandLine::Action::PrintTo) line.printer = rest[1];
    }
    return Done(line);
}

} // namespace

ParsedCommandLine ParseCommandLine(std::span<const std::string> args) {
    if (args.empty()) return Done({});
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") {
        if (args.size() != 1) return Fail(first + " takes no arguments");
        CommandLine line;
        line.action = CommandLine::Action::Help;
        return Done(line);
    }
    for (const Verb& verb : kVerbs)
        if (verb.windows ? SameWord(first, verb.name) : first == verb.name) return ParseVerb(verb, args.subspan(1));
    size_t at = 0;
    if (first == "--") at = 1; // what follows is a file name, whatever it looks like
    else if (first.starts_with("-")) return Fail("unknown option '" + first + "'");
    if (args.size() - at != 1) return Fail(args.size() - at == 0 ? "-- needs a file name" : "one file at a time");
    if (args[at].empty()) return Fail("an empty file name");
    CommandLine line;
    line.action = CommandLine::Action::Open;
    line.file = args[at];
    return Done(line);
}

} // namespace zelhart::ui
