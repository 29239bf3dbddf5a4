// brisant-cli's command line: its options, its help text and its checks.
#pragma once

#include <string>

struct Options {
    std::string command;
    std::string target;  // the TARGET word, for every command but list
    bool json = false;
    bool yes = false;
    bool pauses = true;
    bool quiet = false;
    std::string undoFile;  // repair: --undo-file; undo: its FILE
    bool force = false;    // undo: over a card written to since the repair
    bool list = false;     // undo --list
    bool verify = false;  // repair: the full-surface test instead of the stamps
};

enum class Parsed {
    Run,    // `options` holds a command to run
    Done,   // --help or --version was answered
    Usage,  // `error` says what is wrong
};

// Reads the command line, mapping each --drive letter as it goes. `options`
// says whether --json was asked for even when the command line is wrong.
Parsed ParseCommandLine(int argc, char** argv, Options& options, std::string& error);
