// A command line split into its option values and words, in the order given (read with
// CLI11). What the values mean, and the texts for bad ones, are the caller's.
#pragma once
#include <string>
#include <vector>

struct CommandLineItem {
    std::string name;   // "--dir"; empty for a word
    std::string value;
};

struct CommandLineItems {
    std::vector<CommandLineItem> items;  // in command-line order
    std::vector<std::string> unknown;    // what is neither a known option nor a taken word
};

// Splits args (without the program name). names are the options that take one value each
// time they are given (--name VALUE or --name=VALUE; the value may begin with '-'). With
// takeWords the other words are items, "--" ends the options and words may follow it;
// without, words and "--" are unknown. False with error set when the last option given
// lacks its value.
bool SplitCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& names, bool takeWords,
                      CommandLineItems& out, std::string& error);
