#pragma once

// strevo-cli's exit statuses, as its help documents them.
enum class ExitStatus
{
    Done = 0,     // finished, also after Ctrl-C
    Failed = 1,   // an output failed, its file vanished, or the input broke off or was empty
    BadInput = 2, // command line, job file or input unusable
    NoStart = 3   // a pipeline could not be set up
};

inline int exitCode(ExitStatus status)
{
    return static_cast<int>(status);
}
