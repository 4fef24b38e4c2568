#include "frontend/CommandLineItems.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>

bool SplitCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& names, bool takeWords,
                      CommandLineItems& out, std::string& error)
{
    out = CommandLineItems{};
    CLI::App app;
    app.set_help_flag();  // the callers look for --help themselves: it wins over any error
    app.allow_extras();
    std::map<const CLI::Option*, std::string> nameOf;
    for (const std::string& name : names) {
        CLI::Option* option = app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        nameOf[option] = name;
    }
    const CLI::Option* words =
        takeWords ? app.add_option("words")->expected(-1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                  : nullptr;

    // CLI11 reads "--name=" as "--name" and then takes the next argument as the value:
    // an empty value is a value here.
    std::vector<std::string> reversed;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        optionsEnded = optionsEnded || (takeWords && arg == "--");
        if (!optionsEnded && arg.size() > 3 && arg.compare(0, 2, "--") == 0 && arg.back() == '=' &&
            arg.find('=') == arg.size() - 1) {
            reversed.push_back(arg.substr(0, arg.size() - 1));
            reversed.push_back("");
        } else if (!takeWords && arg == "--") {
            out.unknown.push_back(arg);
        } else {
            reversed.push_back(arg);
        }
    }
    std::reverse(reversed.begin(), reversed.end());
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch&) {
        // Only an option at the very end can lack its value: everything else is taken.
        std::string name = args.empty() ? std::string() : args.back();
        error = "option " + name.substr(0, name.find('=')) + " needs a value";
        return false;
    }

    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* option : app.parse_order()) {
        const std::string& value = option->results().at(taken[option]++);
        out.items.push_back({option == words ? std::string() : nameOf[option], value});
    }
    bool markSeen = !takeWords;
    for (const std::string& extra : app.remaining()) {
        if (!markSeen && extra == "--")
            markSeen = true;  // CLI11 lists the end of the options among the extras
        else
            out.unknown.push_back(extra);
    }
    return true;
}
