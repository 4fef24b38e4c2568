// The exit statuses of both programs.
#pragma once

enum class ExitStatus : int {
    Done = 0,          // normal end
    Error = 1,         // the job (or the program's set-up) ended on an error
    Usage = 2,         // usage error, or a selection that does not parse
    Interrupted = 130, // stopped by the user (Ctrl-C)
};

inline int ToInt(ExitStatus status)
{
    return static_cast<int>(status);
}
