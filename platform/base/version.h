// The one version of every program, set where the project is named, and the text a program
// prints for --version.
#pragma once

#include <initializer_list>

namespace platform {

// "1.0.0.1": the project's version.
const char* Version();

// Prints "PROGRAM VERSION" on the first line (the form manual-page generators read), then each
// of `facts` on a line of its own, to standard output.
void PrintVersion(const char* program, std::initializer_list<const char*> facts);

// For a program whose command line is otherwise free text that it must take as it comes: when
// the whole command line is exactly "--help" or "--version", prints `help` or the version and
// returns true; anything else (even "--help" with more words) is left to the program.
bool AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* help,
                         std::initializer_list<const char*> facts);

}  // namespace platform
