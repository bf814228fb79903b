// Start-up: the application title, the font substitutes and the windows.
#pragma once

class QApplication;

// Sets the title and fonts, creates the alarm centre and the windows: Form1
// (shown when show is true), and hidden Form3, Form5, the chart, the line
// monitor, the journal and the overview; checks the journal's chain and starts
// the line recording. Every global starts from its zero state.
void CreateApplicationWindows(bool show = true);

// Deletes the windows again (tests create a fresh set per case) and closes the port.
void DestroyApplicationWindows();

// Qt's own Russian texts (standard buttons, file dialogs), from the Qt
// translations folder (Debian: qt6-translations-l10n). The interface is
// Russian whatever the desktop's language. False when the file is missing:
// those texts then stay in English, and nothing else changes.
bool InstallQtTranslations();
// Takes them away again (tests).
void RemoveQtTranslations();

// The main window was closed: the event loop is not to be entered (a close
// during start-up, while a message box was open, came before it).
void MarkApplicationClosed();
bool ApplicationClosed();
