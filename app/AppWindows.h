#pragma once

class QApplication;

// Creates the windows (main window, network scan dialog, About box, I2C scan dialog),
// shows the main window and runs the event loop until the program ends. The global
// selection is set before. Returns the process exit code.
int runWindows(QApplication& app);
