// Start-up: the application title, the font substitutes and the windows.
#pragma once

class QApplication;

// Sets the title and fonts and creates Form1 (shown when show is true),
// Form3 and Form5 (hidden). Every global starts from its zero state.
void CreateApplicationWindows(bool show = true);

// Deletes the windows again (tests create a fresh set per case) and closes the port.
void DestroyApplicationWindows();
