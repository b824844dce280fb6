// How a program ends when the host refuses it a thread, memory or a descriptor where it cannot go
// on (an uncaught std::system_error or std::bad_alloc, in whichever thread): one line on standard
// error naming the cause, the files it made for other programs and its scratch platform roots
// removed, and its documented exit status, instead of an abort that leaves them behind.
#pragma once

#include <filesystem>

namespace platform {

// Called once from main; `program` opens the line.
void EndAbruptlyButCleanly(const char* program, int status);

// A file made for other programs (a dosdevices link, its lines declaration) that an abrupt end
// removes; Forget once it is removed in the ordinary way.
void RemoveAtAbruptEnd(const std::filesystem::path& path);
void ForgetAtAbruptEnd(const std::filesystem::path& path);

}  // namespace platform
