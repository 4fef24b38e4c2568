#include "app/CommandLine.h"
#include "app/KellovaranApp.h"
#include "frontend/ExitStatus.h"

#include "Version.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // Our options are read before the window system is asked for anything, so --help and
    // a bad option need no display.
    const std::string program = argc > 0 ? argv[0] : "kellovaran";
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // Like --help, --version needs no display.
    for (const std::string& arg : args) {
        if (arg == "--version") {
            std::printf("kellovaran %s\n", kKellovaranVersion);
            return 0;
        }
    }
    CommandLineOptions options;
    std::string error;
    if (!ParseCommandLine(args, options, error)) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(), CommandLineUsage(program).c_str());
        return ToInt(ExitStatus::Usage);
    }
    if (options.help) {
        std::fputs(CommandLineUsage(program).c_str(), stdout);
        return ToInt(ExitStatus::Done);
    }
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    CKellovaranApp theApp(qtArgc, qtArgv);
    if (!theApp.InitInstance(options)) {
        return ToInt(ExitStatus::Error);
    }
    return theApp.Run();
}
