#include "common/win32.h"

#include "launcher/main_program.h"

#include "launcher/command_line.h"
#include "launcher/shell_open.h"

// The launcher's own directory, not the current one: the main program is
// always the one installed beside the launcher.
std::u16string ProgramDirectory() { return ExtractDirectory(GetArgument(0)); }

std::u16string MainProgramPath() { return ProgramDirectory() + kMainProgramName; }

// No arguments and no directory: the main program inherits the launcher's
// current directory. Nothing waits for it and a failed start is not reported.
void StartMainProgram() { ShellOpen(MainProgramPath(), SW_SHOW); }
