#pragma once
// Start and end of the program's windows, apart from the process entry so that tests can start
// the program in-process with its folders and port table pointed at temporary ones.

#include "main/program_folders.h"

class QApplication;

// Creates the four windows in order, each once: FormXRQMain (its FormCreate runs before the
// others exist), FormSerial, FormSetup, FormTerminal. Throws std::logic_error when they exist.
void CreateProgramWindows(const ProgramLocations& where);

// Shows the main window and runs the event loop until it has closed; then frees the windows.
int RunProgram(QApplication& app);

// Frees the four windows, newest first, and clears their global references.
void DestroyProgramWindows();
