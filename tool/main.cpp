// The console tool: without arguments, the station-alias dialog for the first slave.
#include "tool/dialog_main.h"

int main(int, char**) { return RunDialogProgram(nullptr); }
